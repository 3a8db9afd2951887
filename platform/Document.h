// A property-list document as every reader leaves it and the writer takes
// it: numbered objects in the binary format's own encoding. A binary file's
// checked bytes are the document as they stand; the text readers write their
// objects in the same encoding, with strings as views of the text wherever
// it needs no decoding. An object that many places hold is one object, and
// the one change the tool makes (a root key set) is kept beside the objects.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace plist {

// The bytes a document is read from, held as long as it lives: a string's,
// or a block a file is read into straight, not initialised first.
class Bytes {
public:
    Bytes() = default;
    Bytes(std::string bytes) : string_(std::move(bytes)) {}
    Bytes(const char* bytes) : string_(bytes) {}
    // n bytes, not initialised.
    static Bytes block(std::size_t n) {
        Bytes b;
        b.block_.reset(new char[n]);
        b.size_ = n;
        return b;
    }

    char* data() { return block_ ? block_.get() : &string_[0]; }
    const char* data() const { return block_ ? block_.get() : string_.data(); }
    std::size_t size() const { return block_ ? size_ : string_.size(); }
    bool empty() const { return size() == 0; }
    operator std::string_view() const { return {data(), size()}; }
    // Down to the first n bytes.
    void shrink(std::size_t n) { block_ ? void(size_ = n) : string_.resize(n); }

private:
    std::string string_;
    std::unique_ptr<char[]> block_;
    std::size_t size_ = 0;
};

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

// A value without parts: Boolean, integer (its 64 bits and whether they
// read as unsigned: only values above INT64_MAX do), real, date (seconds
// since 2001-01-01 00:00:00 UTC), UID or null.
struct Scalar {
    Type type = Type::Null;
    bool isUnsigned = false;
    std::uint64_t bits = 0;

    static Scalar boolean(bool b) { return Scalar{Type::Boolean, false, b ? 1u : 0u}; }
    bool boolean() const { return bits != 0; }
    std::int64_t integer() const { return static_cast<std::int64_t>(bits); }
    double real() const;  // Real and Date
};

// A big-endian number of any width (beyond 8 bytes, its low 64 bits), as
// binary files hold offsets, references, counts and integers.
inline std::uint64_t bigEndian(const unsigned char* p, std::uint64_t width) {
    switch (width) {
    case 1: return p[0];
    case 2: return std::uint64_t{p[0]} << 8 | p[1];
    case 4: return std::uint64_t{p[0]} << 24 | std::uint64_t{p[1]} << 16 | std::uint64_t{p[2]} << 8 | p[3];
    case 8: return bigEndian(p, 4) << 32 | bigEndian(p + 4, 4);
    default: {
        std::uint64_t v = 0;
        for (std::uint64_t k = 0; k < width; ++k) v = (v << 8) | p[k];
        return v;
    }
    }
}

// Memory mapped apart from the heap, `bytes` of it, given back when let go.
struct Unmap {
    std::size_t bytes = 0;
    void operator()(char* at) const;
};
// Memory from calloc(), given back when let go.
struct Free {
    void operator()(void* at) const;
};
// `n` items, zero throughout: memory made for them is touched only where
// an item is written.
template <typename T>
std::unique_ptr<T[], Free> zeroed(std::size_t n) {
    std::unique_ptr<T[], Free> items(static_cast<T*>(std::calloc(n, sizeof(T))));
    if (items == nullptr) throw std::bad_alloc();
    return items;
}

class Document {
public:
    static constexpr std::uint32_t npos = 0xFFFFFFFF;

    // Markers the text readers use beside the binary format's: UTF-8 text,
    // held in the object or (kUtf8View) in the source text, and data held
    // in the source text (kDataView). A binary file holding any of them
    // fails to read, so none comes from one.
    static constexpr unsigned char kUtf8 = 0x70, kUtf8View = 0x90, kDataView = 0xB0;

    // An object's marker and, for strings, data and containers, its count
    // and where its bytes (or references) start. A view reads as kUtf8, or
    // as data.
    struct Object {
        unsigned char marker;
        std::uint64_t count;
        const unsigned char* data;
        unsigned char kind() const { return marker & 0xF0; }
        bool isString() const { return kind() == 0x50 || kind() == 0x60 || kind() == kUtf8; }
    };

    std::uint32_t root() const { return root_; }
    bool rootIsDictionary() const { return object(root_).kind() == 0xD0; }
    std::uint32_t objectCount() const { return count_; }
    // Only for an object the root reaches: a binary file's check looked at
    // those alone.
    Object object(std::uint32_t index) const;
    // Where an object lies, for a walk that would look it up out of order:
    // objectAt(place(index)) is object(index).
    std::uint64_t place(std::uint32_t index) const { return offset(index); }
    Object objectAt(std::uint64_t place) const;
    // Whether an object's place is read from the file's own table (a binary
    // file's), in 32 bits at most: a look-up out of order is then a miss of
    // the cache in the file's table.
    bool placesInFileTable() const { return offsets_.empty() && wideOffsets_.empty() && offsetSize_ <= 4; }
    // The k-th reference of a container (a dictionary's keys, then its values).
    std::uint32_t ref(const Object& o, std::uint64_t k) const {
        const unsigned char* p = o.data + k * refSize_;
        // A text's references are all four bytes wide.
        if (refSize_ == 4) return static_cast<std::uint32_t>(bigEndian(p, 4));
        return static_cast<std::uint32_t>(bigEndian(p, refSize_));
    }

    // Asks ahead for what ref(o, k) reads.
    void prefetchRef(const Object& o, std::uint64_t k) const { __builtin_prefetch(o.data + k * refSize_); }

    // Asks ahead for what object(index) reads: with `bytes`, the object
    // itself, whose offset should be at hand by then; else its offset.
    void prefetch(std::uint32_t index, bool bytes) const {
        if (bytes) prefetchAt(offset(index));
        else if (!offsets_.empty()) __builtin_prefetch(offsets_.data() + index);
        else if (!wideOffsets_.empty()) __builtin_prefetch(wideOffsets_.data() + index);
        else __builtin_prefetch(table() + std::uint64_t{index} * offsetSize_);
    }

    // The same for the object at a place.
    void prefetchAt(std::uint64_t place) const { __builtin_prefetch(bytes_ + place); }

    // Then, for a text's string, the text it is a view of.
    void prefetchText(std::uint32_t index) const {
        if (offsets_.empty() && wideOffsets_.empty()) return;  // a binary file's text is its object
        if ((bytes_[offset(index)] & 0xF0) == kUtf8View) __builtin_prefetch(object(index).data);
    }

    // For a walk of a container's first `n` references in order, at the
    // k-th: asks ahead for the objects met a little further on, where many
    // are shared. Objects met once lie in the order the walks meet them;
    // those met again, anywhere in the file.
    void prefetchAhead(const Object& o, std::uint64_t k, std::uint64_t n) const {
        if (spread_) aheadInFile(o, k, n);
    }

    Scalar scalar(const Object& o) const;
    // A string's text in the in-memory form (UTF-8, a lone UTF-16 surrogate
    // in its three-byte form); a view where no decoding is needed, else
    // decoded into the start of `scratch`, which is kept as long as the
    // room the longest text took. A data object's bytes.
    std::string_view text(const Object& o, std::string& scratch) const;
    // How many bytes text() gives.
    std::uint64_t textSize(const Object& o) const;
    bool hasLoneSurrogate(const Object& o) const;

    // The keys of the document's dictionaries: equal texts have equal
    // ranks, and the ranks of one dictionary's keys sort as the writer
    // orders them. Only for an object a dictionary holds as its key: npos
    // for one that is no string.
    std::uint32_t keyRank(std::uint32_t index) const { return slot_[index] - 1; }
    std::uint32_t rankCount() const { return ranks_; }
    // Whether a dictionary holds many keys, and a good share of the
    // document's (a wide root): its writer's table is then made by rank,
    // in the spare where it is lent.
    static constexpr std::uint64_t kManyKeys = 4096;
    bool holdsManyKeys(const Object& dict) const { return dict.count >= kManyKeys && ranks_ / 4 <= dict.count; }

    // Memory touched already, for one writer's table at a time (a wide
    // root's entries): an XML text's past its objects and the slot table,
    // or else the room the sort of many keys went through. `bytes` of it,
    // aligned for four-byte items; null where there is less, or it is lent.
    // What it holds is the borrower's until given back. A kept room's
    // memory past what its borrower asks for goes back to the system.
    char* lendSpare(std::size_t bytes) const;
    void giveSpareBack() const { spareLent_.store(false, std::memory_order_release); }
    bool keyHasLoneSurrogate(std::uint32_t rank) const { return keyLoneSurrogate_[rank / 64] >> rank % 64 & 1; }

    // Arrays, sets and dictionaries are numbered densely from 0, so that
    // per-container state fits in flat tables; npos for any other object.
    std::uint32_t containerCount() const { return containers_; }
    std::uint32_t containerNumber(std::uint32_t index, const Object& o) const {
        return o.kind() == 0xA0 || o.kind() == 0xC0 || o.kind() == 0xD0 ? slot_[index] - 1 : npos;
    }
    // Roughly the memory the objects take, to judge the cost of a check.
    std::size_t size() const { return size_; }
    // Whether the file held each key written out in full wherever it is
    // used (a text format), rather than once (the binary format).
    bool keysRepeated() const { return keysRepeated_; }
    // Whether every container is held in one place only (a text format),
    // rather than in as many as refer to it (the binary format).
    bool tree() const { return tree_; }

    // Sets a key of the root dictionary, in place of the entry of that key
    // if there is one. The root's objects are left as they are; the writer
    // writes the edits in their places.
    struct Edit {
        std::string key;
        Scalar value;
        std::uint32_t position;  // the rank of the root's first key not below it, or npos
        bool replaces;           // that key is this one
    };
    void set(const std::string& key, Scalar value);
    const std::vector<Edit>& edits() const { return edits_; }

private:
    friend class DocumentBuilder;
    friend struct BinaryOpening;

    std::uint64_t offset(std::uint32_t index) const {
        if (!offsets_.empty()) return offsets_[index];
        if (!wideOffsets_.empty()) return wideOffsets_[index];
        return bigEndian(table() + std::uint64_t{index} * offsetSize_, offsetSize_);
    }
    const unsigned char* table() const { return bytes_ + table_; }
    Object objectFrom(const unsigned char* p) const;  // object() and objectAt()
    void aheadInFile(const Object& o, std::uint64_t k, std::uint64_t n) const;
    // Numbers the containers and ranks the keys (the objects that are,
    // each listed once). `shared`, where given, holds a bit by object:
    // whether the key shares a dictionary with another. One that shares
    // none is never compared with any, so it is ranked after the others,
    // unsorted.
    void index(std::vector<std::uint32_t> keys, const std::vector<std::uint64_t>* shared = nullptr);
    // That bit for each key of a dictionary of two entries or more, of the
    // dictionaries `readable` allows (a binary file's: those its check met).
    template <typename Readable>
    std::vector<std::uint64_t> sharedKeys(Readable readable) const {
        std::vector<std::uint64_t> shared(count_ / 64 + 1, 0);
        for (std::uint32_t i = 0; i < count_; ++i) {
            unsigned char marker = bytes_[offset(i)];  // every offset was checked
            if ((marker & 0xF0) != 0xD0 || (marker & 0x0F) < 2 || !readable(i)) continue;
            Object dict = object(i);
            for (std::uint64_t k = 0; dict.count > 1 && k < dict.count; ++k) {
                std::uint32_t key = ref(dict, k);
                shared[key / 64] |= std::uint64_t{1} << key % 64;
            }
        }
        return shared;
    }

    // The objects: a binary file's own bytes, or those a text's reader
    // wrote, over the text it had read or in a buffer left uninitialised
    // where they never reached.
    Bytes file_;
    std::unique_ptr<unsigned char[]> built_;
    const unsigned char* bytes_ = nullptr;  // in file_, built_ or ownedSource_
    std::size_t size_ = 0;
    // A text's objects (neither for a binary file): where they start, in
    // 32 bits until the objects take more than 4 GiB.
    std::vector<std::uint32_t> offsets_;
    std::vector<std::uint64_t> wideOffsets_;
    Bytes ownedSource_;
    std::string_view source_;  // the text that views refer to
    std::uint64_t offsetSize_ = 0, refSize_ = 0, table_ = 0;
    std::uint32_t count_ = 0, root_ = 0;
    bool spread_ = false;  // a binary file's with more shared objects than the cache holds
    // Per object: a container's number, a key's rank (no key is a
    // container), each plus one, or 0 for none (npos once one is taken
    // away); in slots_, or in spare_. Zero to start with, so that memory
    // made for it is never touched where no container or key lies (a file
    // of many scalars).
    // slots_ may hold more than the table: the room a sort of the keys
    // went through.
    std::uint32_t* slot_ = nullptr;
    std::unique_ptr<std::uint32_t[], Free> slots_;
    std::size_t slotRoom_ = 0;  // how many slots_ holds
    void makeSlots(std::size_t spareFree);
    bool slotsFitInSpare(std::size_t spareFree) const;
    std::size_t spareSkip() const;
    // Memory of the text past its objects, where they were written over it
    // (none then refers to the text): touched already, and free. Else,
    // where a wide root's keys were sorted, the room the sort went through,
    // mapped apart from the heap and kept.
    char* spare_ = nullptr;
    mutable std::size_t spareSize_ = 0;  // a kept room's: cut down to what a borrower asks for
    mutable std::atomic<bool> spareLent_{false};
    using Mapped = std::unique_ptr<char, Unmap>;
    static Mapped mapped(std::size_t bytes);  // null where it cannot be had
    mutable Mapped keptRoom_;
    std::uint32_t containers_ = 0, ranks_ = 0;
    std::vector<std::uint64_t> keyLoneSurrogate_;  // a bit a rank
    std::vector<Edit> edits_;
    bool keysRepeated_ = false, tree_ = false;
    bool wellFormed_ = false;  // no UTF-8 text holds a lone surrogate: each was checked as it was read
};

}  // namespace plist
