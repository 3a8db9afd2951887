#include "Document.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "RadixSort.h"
#include "TwoParts.h"
#include "Unicode.h"

namespace plist {

namespace {

// Keys whose prefixes tie, up to this many, have their texts fetched once
// while they are sorted; more are sorted by their next sixteen bytes, and
// so on, up to this many bytes: past them, keys that still tie are compared
// whole, which runs through a long shared start at once.
constexpr std::size_t kFetchedRun = 4096, kChunkedBelow = 64;
// Keys in at most this many runs in order are merged rather than sorted.
constexpr std::size_t kMergedRuns = 16;
// Keys looked at for their order before a table for all objects is made.
constexpr std::size_t kLookedAtFirst = 64;
// From this size the room keys are sorted through is mapped, to be kept.
constexpr std::size_t kKeptFrom = std::size_t{1} << 20;

// The k-th code unit of a binary string's text (big-endian UTF-16, else
// one byte a unit), or the k-th byte of a text's UTF-8.
unsigned unitAt(const Document::Object& o, std::uint64_t k) {
    return o.kind() == 0x60 ? o.data[2 * k] << 8 | o.data[2 * k + 1] : o.data[k];
}

// The first n bytes at p (n at most 16) as two little-endian words, zero
// past them, read in place: a copy of fewer than sixteen bytes read back
// at once would wait for the copy to reach memory.
struct Words {
    std::uint64_t first = 0, second = 0;
};
inline Words firstBytes(const unsigned char* p, std::size_t n) {
    auto load = [p](std::size_t at, std::size_t size) {
        std::uint64_t v = 0;
        std::memcpy(&v, p + at, size);
        return v;
    };
    Words w;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (n >= 8) {
        w.first = load(0, 8);
        if (n > 8) w.second = load(n - 8, 8) >> (8 * (16 - n));  // its last n - 8 bytes
    } else if (n >= 4) {
        w.first = load(0, 4) | load(n - 4, 4) << (8 * (n - 4));  // the two overlap in equal bytes
    } else {
        for (std::size_t k = 0; k < n; ++k) w.first |= std::uint64_t{p[k]} << (8 * k);
    }
#else
    unsigned char bytes[16] = {};
    if (n != 0) std::memcpy(bytes, p, n);
    std::memcpy(&w.first, bytes, 8);
    std::memcpy(&w.second, bytes + 8, 8);
#endif
    return w;
}

// A character's bytes, from `at` in a prefix of 16, in an order that is
// UTF-16's: UTF-8's below U+E000; beyond U+FFFF, after those, as the first
// of its two units is; from U+E000 to U+FFFF, after all of them. (The UTF-8
// form of any number below 2^21 sorts as the number does.) Not for a lone
// surrogate. Returns where its bytes end.
std::size_t orderedBytes(unsigned char* prefix, std::size_t at, std::uint32_t cp) {
    std::uint32_t n = cp < 0xE000 ? cp : cp > 0xFFFF ? cp - 0x10000 + 0xD800 : cp - 0xE000 + 0x10D800;
    char bytes[4];
    for (std::size_t b = 0, length = unicode::encode(bytes, n); b < length && at < 16; ++b)
        prefix[at++] = static_cast<unsigned char>(bytes[b]);
    return at;
}

// The first sixteen bytes of a text's characters as orderedBytes() puts
// them, which sort as the text does, and as ASCII and UTF-8 below U+E000
// do; false where a lone surrogate comes first.
bool orderedPrefix(const Document::Object& o, unsigned char* head) {
    std::memset(head, 0, 16);
    std::size_t at = 0;
    if (o.kind() == Document::kUtf8) {
        std::string_view t(reinterpret_cast<const char*>(o.data), o.count);
        for (std::size_t i = 0; i < t.size() && at < 16;) {
            std::uint32_t cp = 0;
            std::size_t length = unicode::decode(t, i, cp);  // 0 for a lone surrogate
            if (length == 0) return false;
            i += length;
            at = orderedBytes(head, at, cp);
        }
        return true;
    }
    for (std::uint64_t k = 0; k < o.count && at < 16; ++k) {
        std::uint32_t cp = unitAt(o, k);
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            std::uint32_t low = k + 1 < o.count ? unitAt(o, k + 1) : 0;
            if (cp > 0xDBFF || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00), ++k;
        }
        at = orderedBytes(head, at, cp);
    }
    return true;
}

// Whether a text's UTF-8 bytes [from, to) hold a character from U+E000,
// whose bytes orderedBytes() changes.
bool changedByOrder(const Document::Object& o, std::uint64_t from, std::uint64_t to) {
    for (std::uint64_t k = from; k < to && k < o.count; ++k)
        if (o.data[k] >= 0xEE) return true;
    return false;
}

using detail::inTwoParts;
using detail::kTwoPartsFrom;
using detail::radixSort;

// Two runs side by side, [first, mid) and [mid, last), each sorted, merged
// stably through `room` for the shorter of them: from the front where that
// is the first, else from the back.
template <typename T, typename Less>
void mergeRuns(T* first, T* mid, T* last, T* room, Less less) {
    if (first == mid || mid == last) return;
    if (mid - first <= last - mid) {
        T *a = room, *end = std::copy(first, mid, room), *b = mid, *out = first;
        while (a != end && b != last) *out++ = less(*b, *a) ? *b++ : *a++;
        std::copy(a, end, out);
    } else {
        T *a = mid, *b = std::copy(mid, last, room), *out = last;
        while (a != first && b != room) *--out = less(b[-1], a[-1]) ? *--a : *--b;
        std::copy(room, b, first);
    }
}

// Room for merges, made larger as they need it (never zeroed).
template <typename T>
using MergeRoom = std::vector<T, detail::Unzeroed<T>>;

template <typename T, typename Less>
void mergeRuns(T* first, T* mid, T* last, MergeRoom<T>& room, Less less) {
    auto shorter = static_cast<std::size_t>(std::min(mid - first, last - mid));
    if (room.size() < shorter) room = MergeRoom<T>(shorter);
    mergeRuns(first, mid, last, room.data(), less);
}

// How many items of room radixSort() below takes for n items: for the
// merge of the halves; for the quarters, the longer quarter of each half,
// one beside the other (one item more where both halves are odd).
std::size_t radixRoom(std::size_t n) {
    std::size_t half = n / 2;
    return n >= kTwoPartsFrom ? (half + 1) / 2 + (n - half + 1) / 2 : n - half;
}

// radixSort() of each half by itself, through room for half the items, then
// the two merged through it: no more memory than a merge sort takes. `less`
// is the order. Many items are sorted a half on each of two threads, each
// half as two quarters through its own half of the room, then merged. The
// room is `given` (radixRoom() items, unset), or made here.
template <typename T, typename ByteOf, typename Less>
void radixSort(T* first, T* last, unsigned digits, ByteOf byteOf, Less less, T* given = nullptr) {
    T* half = first + (last - first) / 2;
    auto quarters = [](std::ptrdiff_t n) { return static_cast<std::size_t>(n + 1) / 2; };  // the longer of a half's
    bool parts = static_cast<std::size_t>(last - first) >= kTwoPartsFrom;
    MergeRoom<T> own(given != nullptr ? 0 : radixRoom(static_cast<std::size_t>(last - first)));
    T* room = given != nullptr ? given : own.data();
    if (!parts) {
        radixSort(first, half, room, digits, byteOf);
        radixSort(half, last, room, digits, byteOf);
    } else {
        T* bounds[3] = {first, half, last};
        T* rooms[2] = {room, room + quarters(half - first)};
        inTwoParts([&](std::size_t part) {
            T *from = bounds[part], *to = bounds[part + 1], *mid = from + (to - from) / 2;
            radixSort(from, mid, rooms[part], digits, byteOf);
            radixSort(mid, to, rooms[part], digits, byteOf);
            mergeRuns(from, mid, to, rooms[part], less);
        });
    }
    mergeRuns(first, half, last, room, less);
}

// Items sorted from `head` on merged into those before them, sorted too:
// room for the sorted tail alone, where a sort of all would take room for
// half of them (a key or two out of place in a wide root), and nothing
// where head is 0.
template <typename Items, typename Less>
void mergeTail(Items& items, std::size_t head, Less less) {
    MergeRoom<std::remove_pointer_t<decltype(items.data())>> room;
    mergeRuns(items.data(), items.data() + head, items.data() + items.size(), room, less);
}

}  // namespace

double Scalar::real() const {
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

inline Document::Object Document::objectFrom(const unsigned char* p) const {
    Object o{p[0], 0, p + 1};
    switch (o.kind()) {
    case 0x40:
    case 0x50:
    case 0x60:
    case kUtf8:
    case kUtf8View:
    case kDataView:
    case 0xA0:
    case 0xC0:
    case 0xD0:
        o.count = o.marker & 0x0F;
        if (o.count == 0x0F) {
            std::uint64_t width = std::uint64_t{1} << (o.data[0] & 0x0F);
            o.count = bigEndian(o.data + 1 + (width > 8 ? width - 8 : 0), width > 8 ? 8 : width);
            o.data += 1 + width;
        }
        if (o.kind() == kUtf8View || o.kind() == kDataView) {
            o.marker = static_cast<unsigned char>((o.kind() == kUtf8View ? kUtf8 : 0x40) | (o.marker & 0x0F));
            o.data = reinterpret_cast<const unsigned char*>(source_.data()) + bigEndian(o.data, 4);
        }
        break;
    default: break;
    }
    return o;
}

Document::Object Document::object(std::uint32_t index) const { return objectFrom(bytes_ + offset(index)); }

Document::Object Document::objectAt(std::uint64_t place) const { return objectFrom(bytes_ + place); }

// A binary file's: the offset of the one 16 on, the object of the one 8
// on, and where the walk meets containers, the objects of the first
// sixteen items or values of those 4 and 2 on, in the same two steps.
//
// Its references and offsets are read eight bytes at once, and shifted:
// the trailer's 32 bytes follow them all.
void Document::aheadInFile(const Object& o, std::uint64_t k, std::uint64_t n) const {
    auto read = [](const unsigned char* p, std::uint64_t width) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return __builtin_bswap64(v) >> (64 - 8 * width);
#else
        return bigEndian(p, width);
#endif
    };
    auto refAt = [&](const Object& c, std::uint64_t j) { return read(c.data + j * refSize_, refSize_); };
    auto entry = [&](std::uint64_t index) { return table() + index * offsetSize_; };
    auto at = [&](std::uint64_t index) { return bytes_ + read(entry(index), offsetSize_); };
    if (k + 16 < n) __builtin_prefetch(entry(refAt(o, k + 16)));
    if (k + 8 < n) __builtin_prefetch(at(refAt(o, k + 8)));
    if (*at(refAt(o, k)) < 0xA0) return;
    auto inside = [&](std::uint64_t j, bool bytes) {
        if (j >= n) return;
        std::uint64_t index = refAt(o, j);
        if (*at(index) < 0xA0) return;
        Object c = object(static_cast<std::uint32_t>(index));
        std::uint64_t from = c.kind() == 0xD0 ? c.count : 0;
        for (std::uint64_t i = from, end = from + std::min<std::uint64_t>(c.count, 16); i < end; ++i)
            __builtin_prefetch(bytes ? at(refAt(c, i)) : entry(refAt(c, i)));
    };
    inside(k + 4, false);
    inside(k + 2, true);
}

Scalar Document::scalar(const Object& o) const {
    const unsigned char* p = o.data;
    unsigned char m = o.marker;
    switch (o.kind()) {
    case 0x00: return m == 0x00 ? Scalar{} : Scalar::boolean(m == 0x09);
    case 0x10: {
        std::uint64_t width = std::uint64_t{1} << (m & 0x0F);
        if (width == 8) return Scalar{Type::Integer, false, bigEndian(p, 8)};
        // Only 16-byte integers are unsigned; they keep their low 64 bits.
        std::uint64_t u = width == 16 ? bigEndian(p + 8, 8) : bigEndian(p, width);
        return Scalar{Type::Integer, u > 0x7FFFFFFFFFFFFFFFull, u};
    }
    case 0x20:
    case 0x30: {
        double d;
        if (m == 0x22) {
            std::uint32_t bits = static_cast<std::uint32_t>(bigEndian(p, 4));
            float f;
            std::memcpy(&f, &bits, 4);
            d = f;
        } else {
            std::uint64_t bits = bigEndian(p, 8);
            std::memcpy(&d, &bits, 8);
        }
        Scalar s{o.kind() == 0x30 ? Type::Date : Type::Real, false, 0};
        std::memcpy(&s.bits, &d, 8);
        return s;
    }
    case 0x80: return Scalar{Type::Uid, false, bigEndian(p, (m & 0x0F) + 1u)};
    default: return Scalar{};
    }
}

std::string_view Document::text(const Object& o, std::string& scratch) const {
    const unsigned char* p = o.data;
    if (o.kind() == 0x60) {
        // Converted into room for the longest text the units can make,
        // which stays for the next one: the text is the start of it.
        std::size_t room = 3 * o.count + 1;
        if (scratch.size() < room) scratch.resize(room);
        char* end = unicode::utf16BigEndianAt(&scratch[0], p, o.count);
        return std::string_view(scratch.data(), static_cast<std::size_t>(end - scratch.data()));
    }
    std::string_view bytes(reinterpret_cast<const char*>(p), o.count);
    if (o.kind() != 0x50) return bytes;
    // Latin-1, as CoreFoundation reads a binary file's 8-bit strings.
    std::size_t ascii = unicode::asciiPrefix(p, o.count);
    if (ascii == o.count) return bytes;
    // Two bytes at most for each, into room that stays as above.
    if (scratch.size() < 2 * o.count) scratch.resize(2 * o.count);
    char* out = &scratch[0];
    std::memcpy(out, p, ascii);
    out += ascii;
    for (std::uint64_t k = ascii; k < o.count; ++k) out += unicode::encode(out, p[k]);
    return std::string_view(scratch.data(), static_cast<std::size_t>(out - scratch.data()));
}

std::uint64_t Document::textSize(const Object& o) const {
    const unsigned char* p = o.data;
    if (o.kind() == 0x60) return unicode::utf16BigEndianSize(p, o.count);
    if (o.kind() != 0x50) return o.count;
    // Latin-1: one more byte for each byte above 0x7F, counted eight at a time.
    std::uint64_t size = o.count, k = 0;
    for (; k + 8 <= o.count; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + k, 8);
        // The high bits, one a byte, summed into the top byte by a multiply:
        // a machine without a population count would call a function.
        size += ((word & 0x8080808080808080ull) >> 7) * 0x0101010101010101ull >> 56;
    }
    for (; k < o.count; ++k) size += p[k] >> 7;
    return size;
}

bool Document::hasLoneSurrogate(const Object& o) const {
    if (o.kind() == kUtf8)
        return !wellFormed_ && unicode::hasLoneSurrogate(std::string_view(reinterpret_cast<const char*>(o.data), o.count));
    if (o.kind() != 0x60) return false;  // Latin-1 has no surrogates
    const unsigned char* p = o.data;
    if (!unicode::utf16BigEndianHasSurrogate(p, o.count)) return false;
    for (std::uint64_t k = 0; k < o.count; ++k) {
        unsigned char high = p[2 * k];
        if (high < 0xD8 || high > 0xDF) continue;
        if (high >= 0xDC || k + 1 == o.count || p[2 * k + 2] < 0xDC || p[2 * k + 2] > 0xDF) return true;
        ++k;
    }
    return false;
}

// Where the slot table starts in the spare memory: its first aligned byte.
std::size_t Document::spareSkip() const {
    return (alignof(std::uint32_t) - reinterpret_cast<std::uintptr_t>(spare_) % alignof(std::uint32_t)) %
           alignof(std::uint32_t);
}

// Whether the slot table fits in the first `spareFree` bytes of the spare
// memory.
bool Document::slotsFitInSpare(std::size_t spareFree) const {
    return spare_ != nullptr && spareFree >= spareSkip() &&
           (spareFree - spareSkip()) / sizeof(std::uint32_t) >= count_;
}

void Free::operator()(void* at) const { std::free(at); }

// The slot table, zero throughout: in the first `spareFree` bytes of the
// spare memory where it fits, else in slots_, made where it is too small.
void Document::makeSlots(std::size_t spareFree) {
    if (slotsFitInSpare(spareFree)) {
        slot_ = reinterpret_cast<std::uint32_t*>(spare_ + spareSkip());
    } else if (slotRoom_ < count_) {
        slots_.reset();  // let go of before the table is made
        slots_ = zeroed<std::uint32_t>(count_), slotRoom_ = count_;
        slot_ = slots_.get();
        return;
    } else {
        slot_ = slots_.get();
    }
    std::fill_n(slot_, count_, 0);
}

char* Document::lendSpare(std::size_t bytes) const {
    if (spare_ == nullptr || spareLent_.exchange(true, std::memory_order_acquire)) return nullptr;
    std::size_t from = spareSkip();
    if (slot_ == reinterpret_cast<std::uint32_t*>(spare_ + from)) from += std::size_t{count_} * sizeof(std::uint32_t);
    if (spareSize_ < from || spareSize_ - from < bytes) {
        giveSpareBack();
        return nullptr;
    }
    // A kept room's pages past the table go back to the system, while it
    // is lent: no one else looks at its size meanwhile.
    std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), used = (from + bytes + page - 1) / page * page;
    if (keptRoom_ && spareSize_ > used && ::munmap(spare_ + used, spareSize_ - used) == 0)
        spareSize_ = used, keptRoom_.get_deleter().bytes = used;
    return spare_ + from;
}

void Unmap::operator()(char* at) const { ::munmap(at, bytes); }

Document::Mapped Document::mapped(std::size_t bytes) {
    void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return Mapped(nullptr, Unmap{0});
    return Mapped(static_cast<char*>(at), Unmap{bytes});
}

void Document::index(std::vector<std::uint32_t> keys, const std::vector<std::uint64_t>* shared) {
    // Keys alone in their dictionaries (a thousand records each under a
    // name of its own, say) are set apart: their order is never asked for.
    std::vector<std::uint32_t> alone;
    if (shared != nullptr) {
        std::size_t kept = 0;
        for (std::uint32_t key : keys) {
            if (key / 64 < shared->size() && ((*shared)[key / 64] >> key % 64 & 1)) keys[kept++] = key;
            else alone.push_back(key);
        }
        keys.resize(kept);
    }
    // The table of every object's slot is made first, for keys in order;
    // for keys out of order it is given up, and made again once they are
    // sorted, rather than held beside the sort's own tables. Containers
    // are numbered into it last.
    auto numberContainers = [&] {
        for (std::uint32_t i = 0; i < count_; ++i) {
            // Only the marker: an object nothing refers to was never checked,
            // and its count may point anywhere. Every offset was checked.
            unsigned char kind = bytes_[offset(i)] & 0xF0;
            if (kind == 0xA0 || kind == 0xC0 || kind == 0xD0) slot_[i] = ++containers_;
        }
    };
    // The keys are sorted with their first sixteen bytes at hand, in an
    // order of bytes that sorts as UTF-16 does (ASCII; UTF-8 below U+E000,
    // whose bytes sort as its one code unit does; other characters as
    // orderedBytes() puts them): most comparisons then never look at texts
    // spread all over the file. Equal
    // texts end up side by side and share a rank. Where prefixes tie, texts
    // are compared as they stand in their objects: a binary file's by their
    // code units, undecoded.
    // Twenty bytes a key, not twenty-four: packed to four bytes.
#pragma pack(push, 4)
    struct Sorted {
        std::uint64_t prefix[2];  // big-endian, zero-padded; 0 where there is none
        std::uint32_t key;
    };
#pragma pack(pop)
    static_assert(sizeof(Sorted) == 20, "a key to sort takes twenty bytes");
    // A key's prefix, and whether it holds a lone surrogate; false for a
    // key that is no string. `spelled`: a binary file's text in other
    // scripts gets one too, worth its cost where keys are sorted.
    auto sorted = [&](std::uint32_t key, Sorted& s, bool& lone, bool spelled, Object& o) {
        o = object(key);
        if (!o.isString()) return false;
        if (o.kind() == 0x60 && !spelled) {
            // Keys in order are compared with the one before, whose object
            // is at hand: a prefix of UTF-16 units would spare no fetch.
            s = Sorted{{0, 0}, key};
            lone = hasLoneSurrogate(o);
            return true;
        }
        // The first sixteen code units (UTF-8 bytes in a text), and the
        // highest of them.
        unsigned char head[16] = {};
        unsigned highest = 0;
        if (o.kind() != 0x60) {
            // A byte a unit: copied, and looked at one by one only where
            // one is not ASCII.
            auto n = static_cast<std::size_t>(std::min<std::uint64_t>(o.count, sizeof head));
            Words w = firstBytes(o.data, n);
            std::memcpy(head, &w.first, 8);
            std::memcpy(head + 8, &w.second, 8);
            if ((w.first | w.second) & 0x8080808080808080ull)
                for (std::size_t k = 0; k < n; ++k) highest = std::max<unsigned>(highest, o.data[k]);
        } else {
            for (std::size_t k = 0; k < sizeof head && k < o.count; ++k) {
                unsigned unit = unitAt(o, k);
                highest = std::max(highest, unit);
                head[k] = static_cast<unsigned char>(unit);
            }
        }
        bool ascii = highest < 0x80;
        s = Sorted{{0, 0}, key};
        // A lone surrogate's bytes (0xED, then 0xA0 or above) could meet
        // those orderedBytes() gives a character beyond U+FFFF.
        bool prefixed = ascii;
        if (o.kind() == kUtf8 && highest < 0xEE) {
            prefixed = true;
            for (std::uint64_t k = 0; highest == 0xED && k < sizeof head && k + 1 < o.count && prefixed; ++k)
                prefixed = o.data[k] != 0xED || o.data[k + 1] < 0xA0;
        }
        if (!prefixed && (spelled || o.kind() == kUtf8)) prefixed = orderedPrefix(o, head);
        if (prefixed) s.prefix[0] = bigEndian(head, 8), s.prefix[1] = bigEndian(head + 8, 8);
        lone = (!ascii || o.count > 16) && hasLoneSurrogate(o);
        return true;
    };
    // Below 0, 0 or above as a's text is before b's, equal or after, in
    // UTF-16 order. A text's keys are all UTF-8; a binary file's are
    // Latin-1 (its code units are its bytes) or big-endian UTF-16, whose
    // bytes compare as its units do. `tied`: their prefixes are the same,
    // so two texts of sixteen bytes or more start with the same sixteen.
    auto compareObjects = [&](const Object& x, const Object& y, bool tied) {
        if (x.kind() == kUtf8) {
            std::string_view s(reinterpret_cast<const char*>(x.data), x.count);
            std::string_view t(reinterpret_cast<const char*>(y.data), y.count);
            // Prefixes from changed bytes may tie on fewer of the texts'.
            tied = tied && x.count >= 16 && y.count >= 16 && !changedByOrder(x, 0, 16);
            return unicode::compareUtf16(s, t, tied ? 16 : 0);
        }
        std::uint64_t width = x.kind() == 0x60 ? 2 : 1;
        if (x.kind() == y.kind()) {
            int c = std::memcmp(x.data, y.data, width * std::min(x.count, y.count));
            if (c != 0) return c;
        } else {
            for (std::uint64_t k = 0; k < std::min(x.count, y.count); ++k)
                if (unitAt(x, k) != unitAt(y, k)) return unitAt(x, k) < unitAt(y, k) ? -1 : 1;
        }
        return x.count == y.count ? 0 : x.count < y.count ? -1 : 1;
    };
    auto samePrefix = [](const Sorted& a, const Sorted& b) {
        return a.prefix[0] == b.prefix[0] && a.prefix[1] == b.prefix[1];
    };
    auto compare = [&](const Sorted& a, const Sorted& b) {
        return compareObjects(object(a.key), object(b.key), a.prefix[0] != 0 && samePrefix(a, b));
    };
    auto prefixBefore = [](const Sorted& a, const Sorted& b) {
        return a.prefix[0] != b.prefix[0] ? a.prefix[0] < b.prefix[0] : a.prefix[1] < b.prefix[1];
    };
    // Below 0, 0 or above as a's key sorts before b's, with it or after.
    // Texts are looked at only where the prefixes leave it open: they lie
    // all over the file, each a miss of the cache.
    auto ordering = [&](const Sorted& a, const Sorted& b) {
        if (a.prefix[0] != 0 && b.prefix[0] != 0 && !samePrefix(a, b)) return prefixBefore(a, b) ? -1 : 1;
        return compare(a, b);
    };
    // The same with the keys' objects at hand.
    auto orderingOf = [&](const Sorted& a, const Object& x, const Sorted& b, const Object& y) {
        bool prefixed = a.prefix[0] != 0 && b.prefix[0] != 0;
        if (prefixed && !samePrefix(a, b)) return prefixBefore(a, b) ? -1 : 1;
        return compareObjects(x, y, prefixed);
    };
    // A bit a rank, set where the key holds a lone surrogate; there are
    // no more ranks than keys.
    keyLoneSurrogate_.assign((keys.size() + alone.size()) / 64 + 1, 0);
    auto markLone = [&](std::uint32_t rank, bool lone) {
        if (lone) keyLoneSurrogate_[rank / 64] |= std::uint64_t{1} << rank % 64;
    };
    auto rankAlone = [&](std::uint32_t& ranks) {
        for (std::uint32_t key : alone) {
            // A text's keys are all strings: where its reader let no lone
            // surrogate in, none is looked at.
            bool lone = false;
            if (!wellFormed_) {
                Object o = object(key);
                if (!o.isString()) continue;  // no rank
                lone = hasLoneSurrogate(o);
            }
            markLone(ranks, lone);
            slot_[key] = ++ranks;
        }
        ranks_ = ranks;
    };
    // Keys in order already, as a single dictionary's often are, are
    // ranked as they come, straight into their slots, without a table of
    // them all. The first few are looked at before the slot table is
    // made: keys out of order from the start (a binary file's, in the
    // order of their hashes) never need it.
    Sorted s{}, last{};
    Object x{}, lastObject{};
    bool lone = false;
    std::uint32_t ranks = 0;
    std::size_t i = 0;
    auto rankInOrder = [&](std::size_t end) {
        ranks = 0;
        for (i = 0; i < end; ++i) {
            if (keys[i] == npos || !sorted(keys[i], s, lone, false, x)) {
                keys[i] = npos;  // no rank
                continue;
            }
            int o = ranks == 0 ? 1 : orderingOf(s, x, last, lastObject);
            if (o < 0) break;
            if (o > 0) markLone(ranks++, lone);
            if (slot_ != nullptr) slot_[s.key] = ranks;
            last = s, lastObject = x;
        }
    };
    std::size_t lookedAt = std::min(keys.size(), kLookedAtFirst);
    rankInOrder(lookedAt);
    if (i == lookedAt) {
        makeSlots(spareSize_);
        rankInOrder(keys.size());
    }
    if (i == keys.size()) {
        rankAlone(ranks);
        numberContainers();
        return;
    }
    slots_.reset(), slotRoom_ = 0, slot_ = nullptr;
    std::fill(keyLoneSurrogate_.begin(), keyLoneSurrogate_.end(), 0);
    // Found here, in the file's order, where the key is at hand.
    std::vector<bool> loneSurrogate(count_, false);
    // The keys' prefixes are made in two parts at once where there are
    // many, each into its own stretch of `order` (not zeroed first: the two
    // threads take the page faults of their own halves), the second then
    // moved up to the first's end where keys were left out. Of each part:
    // how many it made, the keys of those made with a lone surrogate,
    // whether all have a prefix, how many were of the keys found in order
    // above, and where runs in order by their prefixes start within it
    // (keys numbered without leading zeros, or the keys of two
    // dictionaries one after the other), past its first, up to
    // kMergedRuns of them.
    //
    // `order` lies at the end of the spare memory where it fits there (an
    // XML text's, past its objects: memory whose page faults the reading
    // took), so long as the slot table, made after the sort, either fits
    // before it or would take no more memory of its own than `order` did.
    struct Keys {
        Sorted* first;
        std::size_t count;
        Sorted* data() const { return first; }
        std::size_t size() const { return count; }
        Sorted& operator[](std::size_t k) const { return first[k]; }
    } order{nullptr, keys.size()};
    std::vector<Sorted, detail::Unzeroed<Sorted>> ownOrder;
    std::size_t spareFree = spareSize_;  // where the slot table may go in the spare
    std::size_t orderBytes = keys.size() * sizeof(Sorted) + alignof(Sorted);
    if (spare_ != nullptr && spareSize_ >= orderBytes) {
        char* at = spare_ + spareSize_ - orderBytes;
        at += (alignof(Sorted) - reinterpret_cast<std::uintptr_t>(at) % alignof(Sorted)) % alignof(Sorted);
        if (slotsFitInSpare(static_cast<std::size_t>(at - spare_)) || std::uint64_t{count_} * 4 <= orderBytes) {
            order.first = reinterpret_cast<Sorted*>(at);
            spareFree = static_cast<std::size_t>(at - spare_);
        }
    }
    // Else, where there is no spare (a binary file's) and the keys are
    // many, `order` is mapped: should the root hold them (a wide root out
    // of order), its room is kept as the spare for the writer's table,
    // memory whose page faults the sort has taken.
    Mapped orderRoom;
    if (order.first == nullptr && spare_ == nullptr && orderBytes >= kKeptFrom) {
        orderRoom = mapped(orderBytes);
        order.first = reinterpret_cast<Sorted*>(orderRoom.get());
    }
    if (order.first == nullptr) ownOrder.resize(keys.size()), order.first = ownOrder.data();
    struct Part {
        std::size_t from, to, made, inOrder;
        bool allPrefixed;
        std::vector<std::uint32_t> lone;
        std::vector<std::size_t> runs;
    };
    Part parts[2] = {{0, keys.size(), 0, 0, true, {}, {}}, {keys.size(), keys.size(), 0, 0, true, {}, {}}};
    if (keys.size() >= kTwoPartsFrom) parts[0].to = parts[1].from = keys.size() / 2;
    auto makePart = [&](std::size_t which) {
        Part& p = parts[which];
        Sorted* out = order.data() + p.from;
        Sorted key{};
        Object o{};
        bool lone = false, allPrefixed = true;
        std::size_t n = 0, inOrder = 0;  // kept here, not in the part, which lies beside the other's
        p.lone.clear(), p.runs.clear();
        for (std::size_t k = p.from; k < p.to; ++k) {
            if (keys[k] != npos && sorted(keys[k], key, lone, true, o)) {
                if (lone) p.lone.push_back(keys[k]);
                if (n > 0 && p.runs.size() < kMergedRuns && prefixBefore(key, out[n - 1])) p.runs.push_back(n);
                out[n++] = key;
                allPrefixed &= key.prefix[0] != 0;
            }
            if (k < i) inOrder = n;
        }
        p.made = n, p.inOrder = inOrder, p.allPrefixed = allPrefixed;
    };
    if (parts[1].from == parts[1].to) makePart(0);
    else inTwoParts(makePart);
    const Part &front = parts[0], &back = parts[1];
    if (front.made < back.from)
        std::memmove(order.data() + front.made, order.data() + back.from, back.made * sizeof(Sorted));
    order.count = front.made + back.made;
    for (const Part& p : parts)
        for (std::uint32_t key : p.lone) loneSurrogate[key] = true;
    bool allPrefixed = front.allPrefixed && back.allPrefixed;
    // Of them, those of the keys found in order above: only the rest are sorted.
    std::size_t inOrder = i <= back.from ? front.inOrder : front.made + back.inOrder;
    // Where the runs start: more than kMergedRuns of them are not merged.
    std::vector<std::size_t> runs{0};
    runs.insert(runs.end(), front.runs.begin(), front.runs.end());
    if (front.made > 0 && back.made > 0 && prefixBefore(order[front.made], order[front.made - 1]))
        runs.push_back(front.made);
    for (std::size_t start : back.runs) runs.push_back(front.made + start);
    if (runs.size() > kMergedRuns + 1) runs.resize(kMergedRuns + 1);
    keys = std::vector<std::uint32_t>();
    if (inOrder < order.size() / 2) inOrder = 0;  // a few in order are not worth a merge
    // Keys made in file order are often mostly in order: a merge sort, as
    // std::sort fell back to its heap sort on those of a wide root. Where
    // every key has a prefix, the keys are sorted by their prefixes alone,
    // a byte at a time (a wide root out of order took twice as long
    // merged), then each run of keys whose prefixes tie by their texts,
    // each text fetched once for its run rather than at every level.
    // Whether a key's text is the one before it's is kept for its rank.
    std::vector<bool> sameAsBefore(order.size(), false);  // a bit a key, beside the keys' twenty bytes
    if (!allPrefixed) {
        auto before = [&](const Sorted& a, const Sorted& b) { return ordering(a, b) < 0; };
        std::stable_sort(order.data() + inOrder, order.data() + order.size(), before);
        mergeTail(order, inOrder, before);
        for (std::size_t k = 1; k < order.size(); ++k) sameAsBefore[k] = ordering(order[k - 1], order[k]) == 0;
    } else {
        auto byteOf = [](const Sorted& s, unsigned d) {
            return static_cast<unsigned>(s.prefix[d / 8] >> (56 - 8 * (d % 8)) & 0xFF);
        };
        // Where the slot table will not go in the spare, the sorts' room
        // (for half the keys, and a little: as much as either takes) is
        // made large enough to take the table after: memory whose page
        // faults the sort has taken, not let go of beside the table.
        Sorted* room = nullptr;
        MergeRoom<Sorted> own;
        if (!slotsFitInSpare(spareFree)) {
            std::size_t words = ((order.size() / 2 + 2) * sizeof(Sorted) + 3) / 4;
            slotRoom_ = std::max<std::size_t>(words, count_);
            slots_ = zeroed<std::uint32_t>(slotRoom_);
            room = reinterpret_cast<Sorted*>(slots_.get());
        }
        auto merge = [&](Sorted* first, Sorted* mid, Sorted* last) {
            if (room != nullptr) mergeRuns(first, mid, last, room, prefixBefore);
            else mergeRuns(first, mid, last, own, prefixBefore);
        };
        if (runs.size() <= kMergedRuns) {
            // The shortest two runs side by side are merged first, again
            // and again, so that a key moves as few times as may be: keys
            // numbered so fall in runs each ten times as long as the last.
            runs.push_back(order.size());
            while (runs.size() > 2) {
                std::size_t j = 0;
                for (std::size_t r = 1; r + 2 < runs.size(); ++r)
                    if (runs[r + 2] - runs[r] < runs[j + 2] - runs[j]) j = r;
                merge(order.data() + runs[j], order.data() + runs[j + 1], order.data() + runs[j + 2]);
                runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(j + 1));
            }
        } else {
            radixSort(order.data() + inOrder, order.data() + order.size(), 16, byteOf, prefixBefore, room);
            merge(order.data(), order.data() + inOrder, order.data() + order.size());
        }
        // Bytes [from, from + 16) of a key's text in its UTF-8 form, as its
        // prefix, where they sort as UTF-16 does and as its prefixes did:
        // no character from U+E000 among them or in its first sixteen bytes
        // (orderedBytes() changes those; bytes [16, from) were looked at for
        // the prefixes before), nor in a binary file's text a surrogate.
        // `more`: the text goes on past `from`.
        auto chunkAt = [&](Sorted& s, std::size_t from, bool& more) {
            Object o = object(s.key);
            unsigned char head[16] = {};
            if (o.kind() == kUtf8) {
                if (changedByOrder(o, 0, 16) || changedByOrder(o, from, from + sizeof head)) return false;
                for (std::size_t k = from; k < from + sizeof head && k < o.count; ++k) head[k - from] = o.data[k];
                more |= o.count > from;
            } else {
                std::size_t at = 0;
                for (std::uint64_t k = 0; k < o.count && at < from + sizeof head; ++k) {
                    unsigned unit = unitAt(o, k);
                    if (unit >= 0xD800) return false;
                    char bytes[4];
                    for (std::size_t b = 0, n = unicode::encode(bytes, unit); b < n; ++b, ++at)
                        if (at >= from && at < from + sizeof head)
                            head[at - from] = static_cast<unsigned char>(bytes[b]);
                }
                more |= at > from;
            }
            s.prefix[0] = bigEndian(head, 8), s.prefix[1] = bigEndian(head + 8, 8);
            return true;
        };
        // Runs of keys whose texts agree on their first `from` bytes, still
        // to be sorted (kept in a list, not a recursion, however long the
        // starts they share): where there are many, by the next sixteen,
        // each text fetched once for them (keys that share a long start,
        // such as reverse domain names); a few, or what has no such bytes,
        // by their texts.
        struct Run {
            Sorted *first, *end;
            std::size_t from;
        };
        std::vector<Run> runs;
        auto addTied = [&](Sorted* first, Sorted* end, std::size_t from) {
            for (Sorted* tied = first; tied != end;) {
                Sorted* next = tied + 1;
                while (next != end && samePrefix(*next, *tied)) ++next;
                if (next - tied > 1) runs.push_back(Run{tied, next, from});
                tied = next;
            }
        };
        addTied(order.data(), order.data() + order.size(), 16);
        std::vector<std::pair<Object, Sorted>> texts;
        while (!runs.empty()) {
            Run r = runs.back();
            runs.pop_back();
            Sorted *run = r.first, *end = r.end;
            auto first = static_cast<std::size_t>(run - order.data()), n = static_cast<std::size_t>(end - run);
            if (n > kFetchedRun) {
                bool chunked = r.from < kChunkedBelow, more = false;
                for (Sorted* it = run; it != end && chunked; ++it) {
                    if (end - it > 16) prefetch(it[16].key, false);
                    if (end - it > 8) prefetch(it[8].key, true);
                    if (end - it > 4) prefetchText(it[4].key);
                    chunked = chunkAt(*it, r.from, more);
                }
                if (chunked && more) {
                    radixSort(run, end, 16, byteOf, prefixBefore);
                    addTied(run, end, r.from + 16);
                    continue;
                }
                std::stable_sort(run, end, [&](const Sorted& a, const Sorted& b) { return compare(a, b) < 0; });
                for (std::size_t k = 1; k < n; ++k) sameAsBefore[first + k] = compare(run[k - 1], run[k]) == 0;
            } else {
                texts.clear();
                for (Sorted* it = run; it != end; ++it) texts.emplace_back(object(it->key), *it);
                std::stable_sort(texts.begin(), texts.end(), [&](const auto& a, const auto& b) {
                    return compareObjects(a.first, b.first, true) < 0;
                });
                for (std::size_t k = 0; k < n; ++k) {
                    run[k] = texts[k].second;
                    if (k > 0) sameAsBefore[first + k] = compareObjects(texts[k - 1].first, texts[k].first, true) == 0;
                }
            }
        }
    }
    makeSlots(spareFree);
    numberContainers();
    ranks = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (!sameAsBefore[k]) markLone(ranks++, loneSurrogate[order[k].key]);
        slot_[order[k].key] = ranks;
    }
    rankAlone(ranks);
    if (orderRoom && rootIsDictionary() && holdsManyKeys(object(root_))) {
        spare_ = orderRoom.get(), spareSize_ = orderRoom.get_deleter().bytes;
        keptRoom_ = std::move(orderRoom);
    }
}

void Document::set(const std::string& key, Scalar value) {
    // Where the key goes among the root's keys, which are all the writer
    // merges edits into: by the rank of the first of them not below it.
    // Keys in order are searched by halves.
    Edit edit{key, value, npos, false};
    if (rootIsDictionary()) {
        Object root = object(root_);
        std::string scratch;
        std::string_view wanted(key);
        auto rank = [&](std::uint64_t k) { return keyRank(ref(root, k)); };
        auto keyText = [&](std::uint64_t k) { return text(object(ref(root, k)), scratch); };
        auto below = [&](std::uint64_t k) { return unicode::lessUtf16(keyText(k), wanted); };
        auto goesBefore = [&](std::uint64_t k) {
            edit.position = rank(k);
            edit.replaces = keyText(k) == wanted;
        };
        bool inOrder = true;
        for (std::uint64_t k = 0, last = 0; k < root.count && inOrder; ++k) {
            std::uint32_t r = rank(k);
            inOrder = r != npos && (k == 0 || last < r);
            last = r;
        }
        if (inOrder) {
            std::uint64_t low = 0, high = root.count;
            while (low < high) {
                std::uint64_t middle = low + (high - low) / 2;
                if (below(middle)) low = middle + 1;
                else high = middle;
            }
            if (low < root.count) goesBefore(low);
        } else {
            // A key's text is looked at only where its rank lies between
            // those of the keys found so far below this one and not below
            // it, as ranks sort as texts do: in a root out of all order,
            // a few dozen times.
            std::int64_t highestBelow = -1;
            for (std::uint64_t k = 0; k < root.count; ++k) {
                std::uint32_t r = rank(k);  // npos for a key that is no string: never below the position
                if (r >= edit.position || static_cast<std::int64_t>(r) <= highestBelow) continue;
                if (below(k)) highestBelow = r;
                else goesBefore(k);
            }
        }
    }
    auto at = std::lower_bound(edits_.begin(), edits_.end(), key,
                               [](const Edit& e, const std::string& k) { return unicode::lessUtf16(e.key, k); });
    if (at != edits_.end() && at->key == key) *at = std::move(edit);
    else edits_.insert(at, std::move(edit));
}

}  // namespace plist
