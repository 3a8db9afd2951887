// A binary property list kept as its bytes. Opening one checks everything
// readBinary() checks, without building a value per object; the XML writer
// then reads the objects straight from the bytes. Values that a loaded
// root dictionary holds refer to their document through Value::deferred().
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Value.h"

namespace plist::detail {

// A big-endian number of any width (beyond 8 bytes, its low 64 bits), as
// binary files hold offsets, references, counts and integers.
inline std::uint64_t bigEndian(const unsigned char* p, std::uint64_t width) {
    switch (width) {
    case 1: return p[0];
    case 2: return std::uint64_t{p[0]} << 8 | p[1];
    case 4: return std::uint64_t{p[0]} << 24 | std::uint64_t{p[1]} << 16 | std::uint64_t{p[2]} << 8 | p[3];
    default: {
        std::uint64_t v = 0;
        for (std::uint64_t k = 0; k < width; ++k) v = (v << 8) | p[k];
        return v;
    }
    }
}

class BinaryDocument {
public:
    // Takes the bytes, or, wherever readBinary() fails on them, leaves
    // them where they were and returns null.
    static std::shared_ptr<BinaryDocument> open(std::string& bytes);

    // An object's marker and, for strings, data and containers, its count
    // and where its bytes (or references) start.
    struct Object {
        unsigned char marker;
        std::uint64_t count;
        std::uint64_t pos;
        unsigned char kind() const { return marker & 0xF0; }
    };

    std::uint32_t objectCount() const { return static_cast<std::uint32_t>(count_); }
    // Only for an object the root reaches: open() checked those alone.
    Object object(std::uint32_t index) const;
    // The k-th reference of a container whose references start at pos.
    std::uint32_t ref(std::uint64_t pos, std::uint64_t k) const {
        return static_cast<std::uint32_t>(sized(pos + k * refSize_, refSize_));
    }
    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(bytes_.data()); }
    std::size_t size() const { return bytes_.size(); }

    // A scalar object (Boolean, integer, real, date, UID, null) as a value.
    Value scalar(const Object& o) const;
    // A string object's text in the in-memory form; a view of the bytes
    // when they are plain ASCII, else decoded into `scratch`.
    std::string_view text(const Object& o, std::string& scratch) const;
    std::string_view text(std::uint32_t index, std::string& scratch) const { return text(object(index), scratch); }
    // How many bytes the in-memory form of a string object, or a data
    // object's bytes, take.
    std::uint64_t textSize(const Object& o) const;
    // Whether a string object holds a lone surrogate.
    bool hasLoneSurrogate(const Object& o) const;

    // The keys of the document's dictionaries: equal texts have equal
    // ranks, and ranks sort as the writer orders keys. npos for an object
    // that is no string or no key.
    std::uint32_t keyRank(std::uint32_t index) const { return rank_[index]; }
    std::string_view keyText(std::uint32_t rank) const { return keyTexts_[rank]; }
    bool keyHasLoneSurrogate(std::uint32_t rank) const { return keyLoneSurrogate_[rank]; }

    // Arrays, sets and dictionaries are numbered densely from 0, so that
    // per-container state fits in flat tables.
    std::uint32_t containerCount() const { return containers_; }
    std::uint32_t containerNumber(std::uint32_t index) const { return number_[index]; }

    // The root dictionary's values, as Values: containers deferred, the rest
    // read. Equal keys are settled as readBinary() settles them.
    std::shared_ptr<Dictionary> rootDictionary(const std::shared_ptr<BinaryDocument>& self);

    // Where a string or data value of the root dictionary came from, so that
    // the writer can tell it apart from, or match it with, the same object
    // met deeper down; npos for any other node.
    static constexpr std::uint32_t npos = 0xFFFFFFFF;
    std::uint32_t objectOfRootNode(const void* node) const;

    // The object as readBinary() would have built it. The first call reads
    // the whole document that way, once, so that shared objects stay shared
    // across every value taken from it.
    const Value& materialized(std::uint32_t index);
    bool isMaterialized() const { return materialized_; }

private:
    std::uint64_t sized(std::uint64_t pos, std::uint64_t width) const { return bigEndian(bytes() + pos, width); }
    std::uint64_t offset(std::uint32_t index) const {
        return sized(table_ + std::uint64_t{index} * offsetSize_, offsetSize_);
    }
    void rankKeys(const std::vector<bool>& isKey);

    std::string bytes_;
    std::uint64_t offsetSize_ = 0, refSize_ = 0, count_ = 0, top_ = 0, table_ = 0;
    std::vector<std::uint32_t> number_;  // per object: container number, or npos
    std::uint32_t containers_ = 0;
    std::vector<std::uint32_t> rank_;
    std::vector<std::string> keyTexts_;
    std::vector<bool> keyLoneSurrogate_;
    // Each node held as well as named, so that no other node can ever take
    // its address while the document lives.
    std::unordered_map<const void*, std::pair<std::uint32_t, Value>> rootNodes_;
    std::vector<std::uint32_t> deferred_;  // containers handed out by rootDictionary()
    std::once_flag once_;
    std::atomic<bool> materialized_{false};
    std::unordered_map<std::uint32_t, Value> resolved_;
};

// What Value::deferred() refers to: one container of a document.
struct Deferred {
    std::shared_ptr<BinaryDocument> document;
    std::uint32_t index;
    const Value& resolve() const { return document->materialized(index); }
};

}  // namespace plist::detail
