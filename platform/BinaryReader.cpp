// The binary format ("bplist00"), checked as CoreFoundation checks it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "Document.h"
#include "PropertyList.h"
#include "ReaderFailure.h"

namespace plist {

namespace {

constexpr std::size_t kTrailerSize = 32;
constexpr std::uint64_t kLongMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

using detail::fail;

// Walks every object the top object reaches, checking each as
// CoreFoundation does when it reads the file, and notes which are keys.
class BinaryReader {
public:
    explicit BinaryReader(std::string_view bytes)
        : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}

    void run() {
        readTrailer();
        if (offsetAt(top_) < 8) fail("top object inside the header", 0);
        object(top_, 0);
    }

private:
    // Big-endian; widths beyond 8 keep the low 64 bits.
    std::uint64_t sized(std::uint64_t pos, std::uint64_t width) const { return bigEndian(data_ + pos, width); }

    void readTrailer() {
        if (size_ < 8 + 1 + kTrailerSize) fail("shorter than header, one object and trailer", 0);
        if (std::memcmp(data_, "bplist0", 7) != 0) fail("no bplist0 header", 0);
        std::size_t t = size_ - kTrailerSize;
        offsetSize_ = data_[t + 6];
        refSize_ = data_[t + 7];
        count_ = sized(t + 8, 8);
        top_ = sized(t + 16, 8);
        table_ = sized(t + 24, 8);
        if (count_ > kLongMax || table_ > kLongMax) fail("object count or table offset too large", t);
        if (count_ < 1) fail("no objects", t);
        if (top_ >= count_) fail("top object out of range", t);
        if (table_ < 9) fail("offset table inside the header", t);
        if (table_ >= size_ - kTrailerSize) fail("offset table at or after the trailer", t);
        if (offsetSize_ < 1 || refSize_ < 1) fail("zero offset or reference size", t);
        std::uint64_t tableSize, end;
        if (__builtin_mul_overflow(count_, offsetSize_, &tableSize) ||
            __builtin_add_overflow(table_, tableSize, &end) ||
            __builtin_add_overflow(end, kTrailerSize, &end) || end != size_)
            fail("length is not table offset + table + trailer", t);
        if (refSize_ < 8 && (std::uint64_t{1} << (8 * refSize_)) <= count_)
            fail("reference size too small for the object count", t);
        if (offsetSize_ < 8 && (std::uint64_t{1} << (8 * offsetSize_)) <= table_)
            fail("offset size too small to reach the table", t);
        last_ = table_ - 1;
        for (std::uint64_t i = 0; i < count_; ++i)
            if (offsetAt(i) > last_) fail("offset past the object area", table_ + i * offsetSize_);
        // A file with this many objects would be some 4 GiB at least.
        if (count_ > 0xFFFFFFF0u) fail("too many objects", t);
        state_.assign(count_, kUnread);
        isKey_.assign(count_, false);
    }

    std::uint64_t offsetAt(std::uint64_t index) const {
        return sized(table_ + index * offsetSize_, offsetSize_);
    }

    // The object's bytes [first, first + length) must lie before the table.
    void need(std::uint64_t first, std::uint64_t length, std::uint64_t at) const {
        std::uint64_t end;
        if (length > 0 && (__builtin_add_overflow(first, length - 1, &end) || end > last_))
            fail("object extends past the object area", at);
    }

    // The count in the marker's low nibble, or in the integer object after it.
    std::uint64_t count(unsigned char marker, std::uint64_t& pos) const {
        std::uint64_t c = marker & 0x0F;
        if (c != 0x0F) return c;
        if (pos > last_) fail("count missing", pos);
        unsigned char m = data_[pos];
        if ((m & 0xF0) != 0x10) fail("count is not an integer", pos);
        std::uint64_t width = std::uint64_t{1} << (m & 0x0F);
        if (pos + width > last_) fail("count past the object area", pos);
        c = sized(pos + 1 + (width > 8 ? width - 8 : 0), width > 8 ? 8 : width);
        if (c > kLongMax) fail("count too large", pos);
        pos += 1 + width;
        return c;
    }

    std::uint64_t ref(std::uint64_t pos) const {
        if (pos < 8 || pos > table_ - refSize_) fail("reference outside the object area", pos);
        std::uint64_t r = sized(pos, refSize_);
        if (r >= count_) fail("reference out of range", pos);
        return r;
    }

    void object(std::uint64_t index, int depth) {
        if (depth > kMaxDepth) fail("nested too deep", 0);
        std::uint8_t state = state_[index];
        if (state == kOpen) fail("reference cycle", 0);
        if (state == kDone) {
            state_[index] = kShared;
            ++shared_;
        }
        if (state >= kDone) return;
        std::uint64_t off = offsetAt(index);
        if (off < 8 || off > last_) fail("object offset outside the object area", off);
        unsigned char m = data_[off];
        std::uint64_t pos = off + 1;
        switch (m & 0xF0) {
        case 0x00:
            if (m != 0x00 && m != 0x08 && m != 0x09) fail("unknown marker", off);
            break;
        case 0x10: {
            std::uint64_t width = std::uint64_t{1} << (m & 0x0F);
            if (width > 16) fail("integer wider than 16 bytes", off);
            need(pos, width, off);
            break;
        }
        case 0x20:
            if (m != 0x22 && m != 0x23) fail("real neither 4 nor 8 bytes", off);
            need(pos, m == 0x22 ? 4 : 8, off);
            break;
        case 0x30:
            if (m != 0x33) fail("bad date marker", off);
            need(pos, 8, off);
            break;
        case 0x40:
        case 0x50:
        case 0x60: {
            std::uint64_t n = count(m, pos);
            need(pos, (m & 0xF0) == 0x60 ? n * 2 : n, off);
            break;
        }
        case 0x80: {
            std::uint64_t width = (m & 0x0F) + 1u;
            need(pos, width, off);
            std::uint64_t v = 0;
            for (std::uint64_t k = 0; k < width; ++k) {
                if (v > 0xFFFFFF) fail("UID larger than 32 bits", off);
                v = (v << 8) | data_[pos + k];
            }
            if (v > 0xFFFFFFFF) fail("UID larger than 32 bits", off);
            break;
        }
        case 0xA0:
        case 0xC0: return container(index, m, pos, depth);
        case 0xD0: return dictionary(index, m, pos, depth);
        default: fail("unknown marker", off);
        }
        // A scalar, string or data is checked once, however often it is
        // referenced: a file's shared objects lie all over it.
        state_[index] = kDone;
    }

    // Checks the extent of `n` references starting at pos.
    void refsStart(std::uint64_t pos, std::uint64_t n, std::uint64_t off) const {
        std::uint64_t bytes;
        if (__builtin_mul_overflow(n, refSize_, &bytes)) fail("reference list too long", off);
        need(pos, bytes, off);
    }

    void container(std::uint64_t index, unsigned char m, std::uint64_t pos, int depth) {
        std::uint64_t off = offsetAt(index);
        std::uint64_t n = count(m, pos);
        refsStart(pos, n, off);
        state_[index] = kOpen;
        for (std::uint64_t k = 0; k < n; ++k) object(ref(pos + k * refSize_), depth + 1);
        state_[index] = kDone;
    }

    void dictionary(std::uint64_t index, unsigned char m, std::uint64_t pos, int depth) {
        std::uint64_t off = offsetAt(index);
        std::uint64_t n = count(m, pos);
        std::uint64_t refs;
        if (__builtin_mul_overflow(n, 2, &refs)) fail("dictionary too long", off);
        refsStart(pos, refs, off);
        if (n == 1) ++singles_;
        for (std::uint64_t k = 0; k < n; ++k) {
            std::uint64_t keyOff = offsetAt(ref(pos + k * refSize_));
            if (keyOff >= 8 && keyOff <= last_) {
                unsigned char high = data_[keyOff] & 0xF0;
                if (high == 0xA0 || high == 0xC0 || high == 0xD0) fail("container as a dictionary key", keyOff);
            }
        }
        state_[index] = kOpen;
        for (std::uint64_t k = 0; k < n; ++k) {
            std::uint64_t key = ref(pos + k * refSize_);
            isKey_[key] = true;
            if (state_[key] < kDone) object(key, depth + 1);  // keys are shared by design
            object(ref(pos + (n + k) * refSize_), depth + 1);
        }
        state_[index] = kDone;
    }

public:
    std::uint64_t offsetSize() const { return offsetSize_; }
    std::uint64_t refSize() const { return refSize_; }
    std::uint64_t objectCount() const { return count_; }
    std::uint64_t topObject() const { return top_; }
    std::uint64_t tableOffset() const { return table_; }
    // After run(): whether the object is some dictionary's key.
    const std::vector<bool>& keys() const { return isKey_; }
    // After run(): whether the walk met the object, and so checked it.
    bool met(std::uint64_t index) const { return state_[index] >= kDone; }
    // After run(): how many objects (keys aside) it met more than once.
    std::uint64_t sharedObjects() const { return shared_; }
    std::uint64_t singleEntryDictionaries() const { return singles_; }
    // Lets go of what keys() and met() read.
    void release() {
        std::vector<std::uint8_t>().swap(state_);
        std::vector<bool>().swap(isKey_);
    }

private:
    static constexpr std::uint8_t kUnread = 0, kOpen = 1, kDone = 2, kShared = 3;

    const unsigned char* data_;
    std::size_t size_;
    std::uint64_t offsetSize_ = 0, refSize_ = 0, count_ = 0, top_ = 0, table_ = 0, last_ = 0;
    std::vector<std::uint8_t> state_;  // per object
    std::vector<bool> isKey_;
    std::uint64_t singles_ = 0;  // dictionaries of one entry
    std::uint64_t shared_ = 0;
};

}  // namespace

// Sets up a document on a binary file's bytes, once they are checked.
struct BinaryOpening {
    static std::unique_ptr<Document> open(Bytes& bytes, BinaryReader& check) {
        auto doc = std::make_unique<Document>();
        doc->offsetSize_ = check.offsetSize();
        doc->refSize_ = check.refSize();
        doc->count_ = static_cast<std::uint32_t>(check.objectCount());
        doc->root_ = static_cast<std::uint32_t>(check.topObject());
        doc->table_ = check.tableOffset();
        doc->file_ = std::move(bytes);
        doc->bytes_ = reinterpret_cast<const unsigned char*>(doc->file_.data());
        doc->size_ = doc->file_.size();
        // Some 64,000 objects met again, with their offsets, fill a cache of
        // a few MB: beyond that, a walk's references each miss it unless
        // asked for ahead.
        doc->spread_ = check.sharedObjects() >= 0x10000 && doc->offsetSize_ <= 8 && doc->refSize_ <= 8;
        std::vector<std::uint32_t> keys;
        const std::vector<bool>& isKey = check.keys();
        // Counted first: grown as found, the list of a wide root's keys
        // would touch twice its memory.
        keys.reserve(static_cast<std::size_t>(std::count(isKey.begin(), isKey.end(), true)));
        for (std::uint32_t i = 0; i < doc->count_; ++i)
            if (isKey[i]) keys.push_back(i);
        // Only where dictionaries of one entry are a sixteenth of the
        // objects are their keys set apart: the walk that finds which keys
        // share a dictionary would cost more than it could spare elsewhere.
        std::vector<std::uint64_t> shared;
        std::uint64_t singles = check.singleEntryDictionaries();
        if (singles != 0 && 16 * singles >= doc->count_)
            shared = doc->sharedKeys([&](std::uint32_t i) { return check.met(i); });
        check.release();  // a byte an object, not to be held beside the key index
        doc->index(std::move(keys), shared.empty() ? nullptr : &shared);
        return doc;
    }
};

namespace detail {

ReadResult binaryFrom(Bytes& bytes) {
    return runReader([&] {
        BinaryReader check(bytes);
        check.run();
        return BinaryOpening::open(bytes, check);  // only now are the bytes taken
    });
}

}  // namespace detail

}  // namespace plist
