// A tree of property-list values for tests: to build a document from
// (through the binary form, which can say everything a document holds) and
// to compare what a reader read against. Containers, strings and data are
// held by shared pointer, so a value can be shared, as a binary file shares
// objects.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "PropertyList.h"

namespace plist {

class Value;
class Dictionary;
using Array = std::vector<Value>;


class Value {
public:
    Value() = default;  // null

    static Value boolean(bool b);
    static Value integer(std::int64_t i);
    static Value unsignedInteger(std::uint64_t u);
    static Value real(double d);
    // Seconds since 2001-01-01 00:00:00 UTC.
    static Value date(double seconds);
    // Text in UTF-8; a lone UTF-16 surrogate is kept as its three-byte
    // generalised UTF-8 form so that nothing a binary string holds is lost.
    static Value string(std::string text);
    static Value data(std::string bytes);
    static Value array(std::shared_ptr<Array> items);
    static Value set(std::shared_ptr<Array> items);
    static Value dictionary(std::shared_ptr<Dictionary> dict);
    static Value uid(std::uint32_t u);

    Type type() const { return type_; }
    bool is(Type t) const { return type_ == t; }

    bool boolean() const { return scalar_.b; }
    // An integer is its 64 bits plus whether they read as unsigned; only
    // values above INT64_MAX are unsigned.
    bool isUnsigned() const { return unsigned_; }
    std::int64_t integer() const { return static_cast<std::int64_t>(scalar_.u); }
    std::uint64_t bits() const { return scalar_.u; }
    double real() const { return scalar_.d; }      // Real and Date
    std::uint32_t uid() const { return static_cast<std::uint32_t>(scalar_.u); }
    const std::string& text() const;               // String and Data
    const Array& items() const;                    // Array and Set
    Array& items();
    const Dictionary& dict() const;
    Dictionary& dict();
    std::shared_ptr<Dictionary> dictPointer() const;

    // The shared node behind a container, string or data value; null for
    // scalars. Two values with the same node are one object.
    const void* node() const;

private:
    Type type_ = Type::Null;
    bool unsigned_ = false;
    union {
        bool b;
        std::uint64_t u;
        double d;
    } scalar_{};
    std::shared_ptr<void> node_;
};

class Dictionary {
public:
    // Keys are values because a binary file may use any non-container as a
    // key; the writer refuses every key that is not a string.
    std::vector<std::pair<Value, Value>> entries;

    // Adds the entry, or replaces the value of the string key already there.
    void set(const std::string& key, Value value);
    const Value* find(std::string_view key) const;
    std::size_t size() const { return entries.size(); }
};

std::shared_ptr<Dictionary> makeDictionary();

// Fills a dictionary for a reader, settling equal string keys the way that
// reader's format does in Foundation. Small dictionaries are searched in
// place; only large ones pay for an index.
class DictionaryBuilder {
public:
    enum class Duplicates { FirstWins, LastWins };
    explicit DictionaryBuilder(Duplicates rule, std::size_t expected = 0);
    void add(Value key, Value value);
    std::shared_ptr<Dictionary> finish() { return std::move(dict_); }

private:
    Duplicates rule_;
    std::shared_ptr<Dictionary> dict_;
    std::unordered_map<std::string_view, std::size_t> index_;
};

// Deep equality: dictionaries as maps, reals and dates by value with NaN
// equal to NaN, integers by their 64 bits and signedness.
bool operator==(const Value& a, const Value& b);
inline bool operator!=(const Value& a, const Value& b) { return !(a == b); }
bool operator==(const Dictionary& a, const Dictionary& b);

// The value a document holds, its edits made; a binary file's equal keys
// settled as Foundation's mutable load settles them (the first kept), and
// shared objects shared.
Value valueOf(const Document& document);
// What a read gave; null where it failed.
Value valueOf(const ReadResult& result);
// The root dictionary the bytes hold, as a tree; null where they hold none.
std::shared_ptr<Dictionary> dictionaryOf(std::string bytes);
// A document of the value, through the binary form; null where the binary
// reader refuses it (a cycle, nesting past 512).
std::unique_ptr<Document> documentOf(const Value& root);
std::unique_ptr<Document> documentOf(const Dictionary& root);
// The writer on a tree: writeXml(*documentOf(root)), failing where no
// document can be made.
bool writeXml(const Dictionary& root, std::string& out, std::string* error = nullptr);

}  // namespace plist
