// Property-list values as the readers produce them and the writer consumes
// them. Containers, strings and data are held by shared pointer, so an object
// that a binary file references from many places is held once in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace plist {

namespace detail {
struct Deferred;
}

class Value;
class Dictionary;
using Array = std::vector<Value>;

enum class Type : std::uint8_t {
    Boolean,
    Integer,
    Real,
    String,
    Date,
    Data,
    Array,
    Dictionary,
    Uid,
    Null,  // binary marker 0x00: loads, cannot be written
    Set,   // binary marker 0xCn: loads, cannot be written
};

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
    // A container still held as the bytes of a binary document. It reads
    // like any other; the first look inside reads that whole document.
    static Value deferred(std::shared_ptr<detail::Deferred> d);

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

    // The document behind a deferred container; null for any other value.
    const detail::Deferred* deferred() const {
        return deferred_ ? static_cast<const detail::Deferred*>(node_.get()) : nullptr;
    }

private:
    const Value& resolved() const;

    Type type_ = Type::Null;
    bool unsigned_ = false;
    bool deferred_ = false;
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
    // Each key set is remembered with its value (edits()), so that the same
    // change can be made to a newer copy of the file.
    void set(const std::string& key, Value value);
    const std::vector<std::pair<std::string, Value>>& edits() const { return edits_; }
    const Value* find(std::string_view key) const;
    std::size_t size() const { return entries.size(); }

private:
    std::vector<std::pair<std::string, Value>> edits_;
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

}  // namespace plist
