// The binary format ("bplist00"), checked as CoreFoundation checks it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "BinaryDocument.h"
#include "PropertyList.h"
#include "ReaderFailure.h"
#include "Unicode.h"

namespace plist {

namespace {

constexpr std::size_t kTrailerSize = 32;
constexpr std::uint64_t kLongMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

using detail::fail;

// The value of a scalar object (null, Boolean, integer, real, date, UID)
// whose marker and bytes have been checked.
Value scalarValue(const unsigned char* data, unsigned char m, std::uint64_t pos) {
    const unsigned char* p = data + pos;
    switch (m & 0xF0) {
    case 0x00: return m == 0x00 ? Value() : Value::boolean(m == 0x09);
    case 0x10: {
        std::uint64_t width = std::uint64_t{1} << (m & 0x0F);
        if (width == 8) return Value::integer(static_cast<std::int64_t>(detail::bigEndian(p, 8)));
        if (width == 16) return Value::unsignedInteger(detail::bigEndian(p + 8, 8));
        return Value::unsignedInteger(detail::bigEndian(p, width));
    }
    case 0x20:
    case 0x30: {
        if (m == 0x22) {
            std::uint32_t bits = static_cast<std::uint32_t>(detail::bigEndian(p, 4));
            float f;
            std::memcpy(&f, &bits, 4);
            return Value::real(f);
        }
        std::uint64_t bits = detail::bigEndian(p, 8);
        double d;
        std::memcpy(&d, &bits, 8);
        return (m & 0xF0) == 0x30 ? Value::date(d) : Value::real(d);
    }
    case 0x80: return Value::uid(static_cast<std::uint32_t>(detail::bigEndian(p, (m & 0x0F) + 1u)));
    default: return Value();
    }
}

// Builds the values, or, with `build` false, only walks the objects exactly
// as it would to build them, so that it fails where the building read fails.
class BinaryReader {
public:
    explicit BinaryReader(std::string_view bytes, bool build = true)
        : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()), build_(build) {}

    Value run() {
        readTrailer();
        if (offsetAt(top_) < 8) fail("top object inside the header", 0);
        return object(top_, 0);
    }

private:
    // Big-endian; widths beyond 8 keep the low 64 bits.
    std::uint64_t sized(std::uint64_t pos, std::uint64_t width) const { return detail::bigEndian(data_ + pos, width); }

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
        slot_.assign(count_, kUnread);
        if (!build_) isKey_.assign(count_, false);
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

    Value object(std::uint64_t index, int depth) {
        if (depth > kMaxDepth) fail("nested too deep", 0);
        std::uint32_t slot = slot_[index];
        if (slot == kOpen) fail("reference cycle", 0);
        if (slot != kUnread) return build_ ? memo_[slot - kFirstMemo] : Value();
        std::uint64_t off = offsetAt(index);
        if (off < 8 || off > last_) fail("object offset outside the object area", off);
        unsigned char m = data_[off];
        std::uint64_t pos = off + 1;
        switch (m & 0xF0) {
        case 0x00:
            if (m != 0x00 && m != 0x08 && m != 0x09) fail("unknown marker", off);
            return scalarValue(data_, m, pos);
        case 0x10: {
            std::uint64_t width = std::uint64_t{1} << (m & 0x0F);
            if (width > 16) fail("integer wider than 16 bytes", off);
            need(pos, width, off);
            return scalarValue(data_, m, pos);
        }
        case 0x20:
            if (m != 0x22 && m != 0x23) fail("real neither 4 nor 8 bytes", off);
            need(pos, m == 0x22 ? 4 : 8, off);
            return scalarValue(data_, m, pos);
        case 0x30:
            if (m != 0x33) fail("bad date marker", off);
            need(pos, 8, off);
            return scalarValue(data_, m, pos);
        case 0x40: {
            std::uint64_t n = count(m, pos);
            need(pos, n, off);
            if (!build_) return remember(index, Value());
            return remember(index, Value::data(std::string(reinterpret_cast<const char*>(data_ + pos), n)));
        }
        case 0x50: {
            std::uint64_t n = count(m, pos);
            need(pos, n, off);
            if (!build_) return remember(index, Value());
            std::string text;
            text.reserve(n);
            // Bytes above 0x7F read as Latin-1, as CoreFoundation reads them.
            for (std::uint64_t k = 0; k < n; ++k) unicode::append(text, data_[pos + k]);
            return remember(index, Value::string(std::move(text)));
        }
        case 0x60: {
            std::uint64_t n = count(m, pos);
            need(pos, n * 2, off);
            if (!build_) return remember(index, Value());
            std::string text;
            text.reserve(n);
            unicode::appendUtf16BigEndian(text, data_ + pos, n);
            return remember(index, Value::string(std::move(text)));
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
            return Value::uid(static_cast<std::uint32_t>(v));
        }
        case 0xA0:
        case 0xC0: return container(index, m, pos, depth);
        case 0xD0: return dictionary(index, m, pos, depth);
        default: fail("unknown marker", off);
        }
    }

    // Reads `n` references starting at pos, checking their extent first so
    // that nothing is allocated for a count the file cannot hold.
    std::uint64_t refsStart(std::uint64_t pos, std::uint64_t n, std::uint64_t off) const {
        std::uint64_t bytes;
        if (__builtin_mul_overflow(n, refSize_, &bytes)) fail("reference list too long", off);
        need(pos, bytes, off);
        return pos;
    }

    Value container(std::uint64_t index, unsigned char m, std::uint64_t pos, int depth) {
        std::uint64_t off = offsetAt(index);
        std::uint64_t n = count(m, pos);
        refsStart(pos, n, off);
        slot_[index] = kOpen;
        if (!build_) {
            for (std::uint64_t k = 0; k < n; ++k) object(ref(pos + k * refSize_), depth + 1);
            return remember(index, Value());
        }
        auto items = std::make_shared<Array>();
        items->reserve(n);
        for (std::uint64_t k = 0; k < n; ++k) items->push_back(object(ref(pos + k * refSize_), depth + 1));
        Value v = (m & 0xF0) == 0xA0 ? Value::array(std::move(items)) : Value::set(std::move(items));
        return remember(index, std::move(v));
    }

    Value dictionary(std::uint64_t index, unsigned char m, std::uint64_t pos, int depth) {
        std::uint64_t off = offsetAt(index);
        std::uint64_t n = count(m, pos);
        std::uint64_t refs;
        if (__builtin_mul_overflow(n, 2, &refs)) fail("dictionary too long", off);
        refsStart(pos, refs, off);
        for (std::uint64_t k = 0; k < n; ++k) {
            std::uint64_t keyOff = offsetAt(ref(pos + k * refSize_));
            if (keyOff >= 8 && keyOff <= last_) {
                unsigned char high = data_[keyOff] & 0xF0;
                if (high == 0xA0 || high == 0xC0 || high == 0xD0) fail("container as a dictionary key", keyOff);
            }
        }
        slot_[index] = kOpen;
        if (!build_) {
            for (std::uint64_t k = 0; k < n; ++k) {
                std::uint64_t key = ref(pos + k * refSize_);
                isKey_[key] = true;
                object(key, depth + 1);
                object(ref(pos + (n + k) * refSize_), depth + 1);
            }
            return remember(index, Value());
        }
        // A mutable load adds entries one by one, so the first of two equal
        // string keys is the one kept.
        DictionaryBuilder dict(DictionaryBuilder::Duplicates::FirstWins, n);
        for (std::uint64_t k = 0; k < n; ++k) {
            Value key = object(ref(pos + k * refSize_), depth + 1);
            dict.add(std::move(key), object(ref(pos + (n + k) * refSize_), depth + 1));
        }
        return remember(index, Value::dictionary(dict.finish()));
    }

    // Strings, data and containers are read once and shared by every
    // reference; scalars are cheaper to read again than to remember.
    Value remember(std::uint64_t index, Value v) {
        slot_[index] = static_cast<std::uint32_t>(memo_.size() + kFirstMemo);
        if (build_) memo_.push_back(v);
        return v;
    }

public:
    // After run(): the value built for a string, data or container object.
    Value memoized(std::uint64_t index) const {
        std::uint32_t slot = slot_[index];
        return slot >= kFirstMemo ? memo_[slot - kFirstMemo] : Value();
    }
    std::uint64_t offsetSize() const { return offsetSize_; }
    std::uint64_t refSize() const { return refSize_; }
    std::uint64_t objectCount() const { return count_; }
    std::uint64_t topObject() const { return top_; }
    std::uint64_t tableOffset() const { return table_; }
    // After a run without building: whether the object is some dictionary's key.
    const std::vector<bool>& keys() const { return isKey_; }

private:

    static constexpr std::uint32_t kUnread = 0, kOpen = 1, kFirstMemo = 2;

    const unsigned char* data_;
    std::size_t size_;
    bool build_;
    std::uint64_t offsetSize_ = 0, refSize_ = 0, count_ = 0, top_ = 0, table_ = 0, last_ = 0;
    std::vector<std::uint32_t> slot_;  // per object: unread, open, or where in memo_
    std::vector<Value> memo_;
    std::vector<bool> isKey_;
};

}  // namespace

ReadResult readBinary(std::string_view bytes) {
    return detail::runReader([&] { return BinaryReader(bytes).run(); });
}

}  // namespace plist

namespace plist::detail {

std::shared_ptr<BinaryDocument> BinaryDocument::open(std::string& bytes) {
    auto doc = std::make_shared<BinaryDocument>();
    doc->bytes_ = std::move(bytes);
    {
        BinaryReader check(doc->bytes_, false);
        if (!runReader([&] { return check.run(); })) {
            bytes = std::move(doc->bytes_);
            return nullptr;
        }
        doc->offsetSize_ = check.offsetSize();
        doc->refSize_ = check.refSize();
        doc->count_ = check.objectCount();
        doc->top_ = check.topObject();
        doc->table_ = check.tableOffset();
        doc->rankKeys(check.keys());
    }
    doc->number_.resize(doc->count_);
    for (std::uint32_t i = 0; i < doc->count_; ++i) {
        // Only the marker: an object nothing refers to was never checked,
        // and its count may point anywhere. Every offset was checked.
        unsigned char kind = doc->bytes()[doc->offset(i)] & 0xF0;
        doc->number_[i] = kind == 0xA0 || kind == 0xC0 || kind == 0xD0 ? doc->containers_++ : npos;
    }
    return doc;
}

void BinaryDocument::rankKeys(const std::vector<bool>& isKey) {
    // Binary files share equal strings, so there are few distinct keys
    // however many dictionaries there are.
    std::vector<std::pair<std::string, std::uint32_t>> keys;
    std::string scratch;
    for (std::uint32_t i = 0; i < count_; ++i) {
        unsigned char kind = isKey[i] ? object(i).kind() : 0;
        if (kind == 0x50 || kind == 0x60) keys.emplace_back(std::string(text(i, scratch)), i);
    }
    std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
        return unicode::lessUtf16(a.first, b.first) || (a.first == b.first && a.second < b.second);
    });
    rank_.assign(count_, npos);
    for (std::size_t k = 0; k < keys.size(); ++k) {
        if (keyTexts_.empty() || keys[k].first != keyTexts_.back()) {
            keyTexts_.emplace_back(std::move(keys[k].first));
            keyLoneSurrogate_.push_back(unicode::hasLoneSurrogate(keyTexts_.back()));
        }
        rank_[keys[k].second] = static_cast<std::uint32_t>(keyTexts_.size() - 1);
    }
}

BinaryDocument::Object BinaryDocument::object(std::uint32_t index) const {
    std::uint64_t off = offset(index);
    Object o{bytes()[off], 0, off + 1};
    switch (o.kind()) {
    case 0x40:
    case 0x50:
    case 0x60:
    case 0xA0:
    case 0xC0:
    case 0xD0:
        o.count = o.marker & 0x0F;
        if (o.count == 0x0F) {
            std::uint64_t width = std::uint64_t{1} << (bytes()[o.pos] & 0x0F);
            o.count = sized(o.pos + 1 + (width > 8 ? width - 8 : 0), width > 8 ? 8 : width);
            o.pos += 1 + width;
        }
        break;
    default: break;
    }
    return o;
}

Value BinaryDocument::scalar(const Object& o) const { return scalarValue(bytes(), o.marker, o.pos); }

std::string_view BinaryDocument::text(const Object& o, std::string& scratch) const {
    const unsigned char* p = bytes() + o.pos;
    scratch.clear();
    if (o.kind() == 0x60) {
        unicode::appendUtf16BigEndian(scratch, p, o.count);
        return scratch;
    }
    std::uint64_t k = 0;
    while (k < o.count && p[k] < 0x80) ++k;
    if (k == o.count) return std::string_view(reinterpret_cast<const char*>(p), o.count);
    for (k = 0; k < o.count; ++k) unicode::append(scratch, p[k]);
    return scratch;
}

std::uint64_t BinaryDocument::textSize(const Object& o) const {
    const unsigned char* p = bytes() + o.pos;
    if (o.kind() == 0x60) return unicode::utf16BigEndianSize(p, o.count);
    if (o.kind() == 0x40) return o.count;
    // Latin-1: one more byte for each byte above 0x7F, counted eight at a time.
    std::uint64_t size = o.count, k = 0;
    for (; k + 8 <= o.count; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + k, 8);
        size += static_cast<std::uint64_t>(__builtin_popcountll(word & 0x8080808080808080ull));
    }
    for (; k < o.count; ++k) size += p[k] >> 7;
    return size;
}

bool BinaryDocument::hasLoneSurrogate(const Object& o) const {
    if (o.kind() != 0x60) return false;  // Latin-1 has no surrogates
    const unsigned char* p = bytes() + o.pos;
    for (std::uint64_t k = 0; k < o.count; ++k) {
        unsigned char high = p[2 * k];
        if (high < 0xD8 || high > 0xDF) continue;
        if (high >= 0xDC || k + 1 == o.count || p[2 * k + 2] < 0xDC || p[2 * k + 2] > 0xDF) return true;
        ++k;
    }
    return false;
}

std::shared_ptr<Dictionary> BinaryDocument::rootDictionary(const std::shared_ptr<BinaryDocument>& self) {
    Object root = object(static_cast<std::uint32_t>(top_));
    if (root.kind() != 0xD0) return nullptr;
    std::unordered_map<std::uint32_t, std::shared_ptr<Deferred>> handedOut;
    std::string scratch;
    auto value = [&](std::uint32_t index) -> Value {
        Object o = object(index);
        switch (o.kind()) {
        case 0x40: {
            Value v = Value::data(std::string(reinterpret_cast<const char*>(bytes() + o.pos), o.count));
            rootNodes_.emplace(v.node(), std::make_pair(index, v));
            return v;
        }
        case 0x50:
        case 0x60: {
            Value v = Value::string(std::string(text(o, scratch)));
            rootNodes_.emplace(v.node(), std::make_pair(index, v));
            return v;
        }
        case 0xA0:
        case 0xC0:
        case 0xD0: {
            // One node per object, so that a container held twice is one
            // object to the writer too.
            auto found = handedOut.find(index);
            if (found != handedOut.end()) return Value::deferred(found->second);
            auto d = std::make_shared<Deferred>(Deferred{self, index});
            handedOut.emplace(index, d);
            deferred_.push_back(index);
            return Value::deferred(std::move(d));
        }
        default: return scalar(o);
        }
    };
    // Equal string keys have equal ranks. A mutable load keeps the first of
    // them; the others are dropped here, before anything of theirs is
    // copied. Keys that are no strings are all kept, as the load keeps them.
    auto dict = makeDictionary();
    dict->entries.reserve(root.count);
    std::vector<bool> taken(keyTexts_.size(), false);
    for (std::uint64_t k = 0; k < root.count; ++k) {
        std::uint32_t key = ref(root.pos, k);
        std::uint32_t rank = rank_[key];
        if (rank != npos) {
            if (taken[rank]) continue;
            taken[rank] = true;
        }
        Value keyValue = value(key);
        dict->entries.emplace_back(std::move(keyValue), value(ref(root.pos, root.count + k)));
    }
    return dict;
}

std::uint32_t BinaryDocument::objectOfRootNode(const void* node) const {
    auto found = rootNodes_.find(node);
    return found != rootNodes_.end() ? found->second.first : npos;
}

const Value& BinaryDocument::materialized(std::uint32_t index) {
    std::call_once(once_, [this] {
        BinaryReader reader(bytes_);
        // open() has walked these very bytes with the same checks.
        if (!runReader([&] { return reader.run(); })) std::abort();
        for (std::uint32_t d : deferred_) resolved_.emplace(d, reader.memoized(d));
        materialized_ = true;
    });
    auto found = resolved_.find(index);
    if (found == resolved_.end()) std::abort();  // only containers handed out by rootDictionary() are deferred
    return found->second;
}

}  // namespace plist::detail
