#include "DocumentBuilder.h"

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <utility>

namespace plist {

namespace {

constexpr unsigned kRefSize = 4;
constexpr std::size_t kIndexedFrom = 16;  // entries; below, a linear search is cheaper
// Keys added before their objects are settled: a new key's slot of the key
// table is most often a miss of the cache, fetched meanwhile.
constexpr std::size_t kPendingKeys = 32;
// Room for their texts kept from one batch to the next, at most.
constexpr std::size_t kPendingTextsKept = 64 << 10;
// Keys whose follower is kept to guess from: the first ones made, which a
// file's records hold. A root of many different keys guesses none of its
// own anyway, and would hold as many followers as keys.
constexpr std::size_t kFollowedKeys = std::size_t{1} << 16;
// From this many slots the key table grows at once to the size the keys
// read so far foretell for the whole text, though to no more slots than
// one for each kBytesPerForetoldKey bytes of it: each growth hashes every
// key again from its text, spread all over the file.
constexpr std::size_t kForetoldFrom = std::size_t{1} << 16;
constexpr std::size_t kBytesPerForetoldKey = 32;

// v's low `Width` bytes, most significant first.
template <unsigned Width>
void put(char* at, std::uint64_t v) {
    for (unsigned k = 0; k < Width; ++k) at[k] = static_cast<char>((v >> (8 * (Width - 1 - k))) & 0xFF);
}

// The binary format's width of an unsigned number, as a power of two: 1, 2,
// 4 or 8 bytes.
unsigned widthLog(std::uint64_t v) { return v <= 0xFF ? 0 : v <= 0xFFFF ? 1 : v <= 0xFFFFFFFF ? 2 : 3; }

// v in 2^log bytes, most significant first.
void putWidth(char* at, std::uint64_t v, unsigned log) {
    switch (log) {
    case 0: put<1>(at, v); break;
    case 1: put<2>(at, v); break;
    case 2: put<4>(at, v); break;
    default: put<8>(at, v); break;
    }
}

// The marker of an object and its count as the binary format writes one:
// how many bytes they take, and those bytes at `at`.
std::size_t headSize(std::uint64_t count) { return count < 15 ? 1 : 2 + (std::size_t{1} << widthLog(count)); }
void putHead(char* at, unsigned char kind, std::uint64_t count) {
    if (count < 15) {
        *at = static_cast<char>(kind | count);
        return;
    }
    unsigned log = widthLog(count);
    at[0] = static_cast<char>(kind | 0x0F);
    at[1] = static_cast<char>(0x10 | log);
    putWidth(at + 2, count, log);
}

}  // namespace

void ItemStack::map() {
    void* block = ::mmap(nullptr, kBlock * sizeof(std::uint32_t), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    blocks_.push_back(static_cast<std::uint32_t*>(block));
}

void ItemStack::release(std::size_t keep) {
    for (; blocks_.size() > keep; blocks_.pop_back()) ::munmap(blocks_.back(), kBlock * sizeof(std::uint32_t));
}

DocumentBuilder::DocumentBuilder(std::string_view source)
    : doc_(new Document), source_(source),
      seed_(reinterpret_cast<std::uintptr_t>(this) ^
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())) {
    doc_->refSize_ = kRefSize;
    doc_->source_ = source;
    // Room for as many objects as the text could hold (a text element
    // takes six bytes at least) and about as many bytes of objects as
    // the text has: memory the objects never reach is never touched.
    // The keys likewise: grown by doubling, a root of many keys would leave
    // each outgrown list behind in the heap.
    doc_->offsets_.reserve(source.size() / 6 + 1);
    keys_.reserve(source.size() / 6 + 1);
    resize(source.size() + 64);
}

void DocumentBuilder::resize(std::size_t capacity) {
    // Not zeroed: a page is touched only once an object reaches it, and a
    // large container's references are not written over zeros first.
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[capacity]);
    if (used_ != 0) std::memcpy(bytes.get(), doc_->bytes_, used_);
    doc_->built_ = std::move(bytes);
    doc_->bytes_ = doc_->built_.get();
    capacity_ = capacity;
}

void DocumentBuilder::writeBehind(char* text, const std::size_t& read) {
    if (used_ != 0) return;  // objects made before stay where they are
    inText_ = text + read;
    text_ = text;
    read_ = &read;
    doc_->bytes_ = reinterpret_cast<unsigned char*>(inText_);
}

char* DocumentBuilder::room(std::size_t n) {
    if (inText_ != nullptr) {
        // The objects never reach what is still to be read; should they
        // ever, or once the reader is gone, they move to their own memory
        // and stay there.
        if (read_ != nullptr && static_cast<std::size_t>(text_ + *read_ - inText_) - used_ >= n) return inText_ + used_;
        inText_ = nullptr;
        resize(std::max(capacity_, used_ + n));
    }
    if (capacity_ - used_ < n) resize(std::max(used_ + n, 2 * capacity_));
    return reinterpret_cast<char*>(doc_->built_.get()) + used_;
}

char* DocumentBuilder::grow(std::size_t n) {
    char* at = room(n);
    used_ += n;
    return at;
}

std::uint32_t DocumentBuilder::place() {
    std::size_t objects = count();
    if (objects >= Document::npos) throw std::length_error("too many objects");
    std::uint64_t at = used_;
    if (doc_->wideOffsets_.empty() && at > 0xFFFFFFFFu)
        doc_->wideOffsets_.assign(doc_->offsets_.begin(), doc_->offsets_.end()), doc_->offsets_ = {};
    if (doc_->wideOffsets_.empty()) doc_->offsets_.push_back(static_cast<std::uint32_t>(at));
    else doc_->wideOffsets_.push_back(at);
    return static_cast<std::uint32_t>(objects);
}

std::size_t DocumentBuilder::count() const {
    return doc_->wideOffsets_.empty() ? doc_->offsets_.size() : doc_->wideOffsets_.size();
}

// A new object's head, then room for `body` bytes of it at `out`.
std::uint32_t DocumentBuilder::begin(unsigned char kind, std::uint64_t count, std::size_t body, char*& out) {
    std::uint32_t index = place();
    std::size_t head = headSize(count);
    out = grow(head + body);
    putHead(out, kind, count);
    out += head;
    return index;
}

std::uint32_t DocumentBuilder::scalar(const Scalar& value) {
    if (value.type == Type::Boolean) {
        // One object for true and one for false, wherever they are held,
        // as a binary file holds them: a list of flags would otherwise
        // take more memory than its text.
        std::uint32_t& shared = booleans_[value.boolean()];
        if (shared == Document::npos) {
            shared = place();
            *grow(1) = value.boolean() ? '\x09' : '\x08';
        }
        return shared;
    }
    std::uint32_t index = place();
    char* p;
    switch (value.type) {
    case Type::Integer:
        // In as few bytes as the binary format holds it: 1, 2 or 4 bytes
        // for what fits unsigned, 8 for the rest, and the 16-byte form only
        // above INT64_MAX, which alone reads as unsigned.
        if (value.isUnsigned) {
            p = grow(17);
            *p++ = '\x14';
            put<8>(p, 0), put<8>(p + 8, value.bits);
        } else {
            unsigned log = widthLog(value.bits);
            p = grow(1 + (std::size_t{1} << log));
            p[0] = static_cast<char>(0x10 | log);
            putWidth(p + 1, value.bits, log);
        }
        break;
    case Type::Real:
    case Type::Date:
        p = grow(9);
        p[0] = value.type == Type::Real ? '\x23' : '\x33';
        put<8>(p + 1, value.bits);
        break;
    case Type::Uid:
        p = grow(5);
        p[0] = '\x83';
        put<4>(p + 1, value.bits);
        break;
    default: *grow(1) = '\x00'; break;
    }
    return index;
}

std::uint32_t DocumentBuilder::string(std::string_view text) {
    return viewOrCopy(Document::kUtf8View, Document::kUtf8, text);
}

std::uint32_t DocumentBuilder::data(std::string_view bytes) { return viewOrCopy(Document::kDataView, 0x40, bytes); }

std::uint32_t DocumentBuilder::viewOrCopy(unsigned char view, unsigned char kind, std::string_view bytes) {
    char* p;
    // Not where the objects are written over the source.
    auto at = [&] { return static_cast<std::size_t>(bytes.data() - source_.data()); };
    if (bytes.size() > 8 && inText_ == nullptr && inSource(bytes) && at() <= 0xFFFFFFFFu) {
        std::uint32_t index = begin(view, bytes.size(), 4, p);
        put<4>(p, at());
        return index;
    }
    return bytesObject(kind, bytes);
}

std::uint32_t DocumentBuilder::bytesObject(unsigned char kind, std::string_view bytes) {
    // Read into the objects' own memory, the bytes may lie where the head
    // goes: they are moved first.
    std::uint32_t index = place();
    std::size_t head = headSize(bytes.size());
    char* p = grow(head + bytes.size());
    if (!bytes.empty()) std::memmove(p + head, bytes.data(), bytes.size());
    putHead(p, kind, bytes.size());
    return index;
}

std::uint32_t DocumentBuilder::array(std::size_t opened) {
    std::size_t n = items_.size() - opened;
    char* p;
    std::uint32_t index = begin(0xA0, n, n * kRefSize, p);
    // From the last item back, each block let go once read.
    for (std::size_t k = n; k-- > 0;) {
        put<kRefSize>(p + k * kRefSize, items_[opened + k]);
        if (((opened + k) & ItemStack::kMask) == 0) items_.resize(opened + k);
    }
    items_.resize(opened);
    return index;
}

bool DocumentBuilder::inSource(std::string_view text) const {
    std::less<const char*> before;
    return !before(text.data(), source_.data()) && !before(source_.data() + source_.size(), text.data() + text.size());
}

std::uint32_t DocumentBuilder::hash(std::string_view text) const {
    // Eight bytes at a time, each word mixed in by a multiply; seeded per
    // run, so that no file can be made whose keys all collide.
    const char* p = text.data();
    std::size_t n = text.size();
    std::uint64_t h = seed_ ^ n;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    std::uint64_t w = 0;
    if (n != 0) std::memcpy(&w, p, n);  // an empty key's text may have no place at all
    h = (h ^ w) * 0x94D049BB133111EBull;
    return static_cast<std::uint32_t>(h >> 32);
}

std::uint32_t DocumentBuilder::findKey(std::string_view text, std::uint32_t h) const {
    if (keyTable_.empty()) return Document::npos;
    std::size_t mask = keyTable_.size() - 1;
    for (std::size_t i = h & mask; keyTable_[i] != 0; i = (i + 1) & mask)
        if (tagOf(keyTable_[i]) == tagOf(h) && keyText(placeOf(keyTable_[i]) - 1) == text) return placeOf(keyTable_[i]) - 1;
    return Document::npos;
}

std::string_view DocumentBuilder::keyText(std::uint32_t place) const {
    // A key's object is a string() one: its text in the object or, for a
    // view, where its place in the source says. Past fourteen bytes, its
    // size follows the marker as an integer of 2^k bytes, k at most 3.
    const unsigned char* p = doc_->bytes_ + doc_->offset(keys_[place]);
    std::size_t n = p[0] & 0x0F;
    const unsigned char* body = p + 1;
    if (n == 0x0F) {
        std::size_t width = std::size_t{1} << (p[1] & 0x0F);
        n = static_cast<std::size_t>(bigEndian(p + 2, width));
        body = p + 2 + width;
    }
    if ((p[0] & 0xF0) == Document::kUtf8View) return source_.substr(bigEndian(body, 4), n);
    return std::string_view(reinterpret_cast<const char*>(body), n);
}

void DocumentBuilder::enter(std::uint32_t place, std::uint32_t hash, const char* at) {
    // Past 2^32 slots a place no longer fits beside its tag; fewer keys
    // than that can be made, so a slot stays free for every probe to end.
    if (4 * (keys_.size() + 1) > 3 * keyTable_.size() && tableBits_ < 32) {
        // Twice the room, or more (see kForetoldFrom). A slot keeps too
        // little of its key's hash to tell its new home, so every key is
        // hashed again, in the order made (which taking keys away relies
        // on, and which is mostly the order of their texts); the old table
        // goes first.
        std::size_t slots = keyTable_.empty() ? 64 : 2 * keyTable_.size();
        if (slots >= kForetoldFrom && at != nullptr && at > source_.data()) {
            double foretold = static_cast<double>(keys_.size()) * static_cast<double>(source_.size()) /
                              static_cast<double>(at - source_.data());
            std::size_t most = source_.size() / kBytesPerForetoldKey;
            while (slots <= most / 2 && 3.0 * static_cast<double>(slots) < 4.0 * foretold &&
                   slots < (std::size_t{1} << 31))
                slots *= 2;
        }
        // Room for every key's place, those made without a look-up too.
        while (4 * (keys_.size() + 1) > 3 * slots && slots < (std::size_t{1} << 31)) slots *= 2;
        keyTable_ = std::vector<std::uint32_t>();
        keyTable_.assign(slots, 0);
        tableBits_ = static_cast<unsigned>(__builtin_ctzll(slots));
        // Misses of the cache overlap: each key's object, then its text,
        // then its new slot are asked for some keys before they are read,
        // in stages of kAhead keys. A stage reads its key's entry of a ring
        // before the stage behind it writes the next key's there.
        constexpr std::uint32_t kAhead = 8;
        std::string_view texts[kAhead];
        std::uint32_t hashes[kAhead];
        // Keys not in the table are passed over.
        std::size_t n = keys_.size();
        auto tabled = [&](std::size_t p, std::size_t behind) { return p >= behind && p - behind < n && tabled_[p - behind]; };
        for (std::size_t p = 0; p < n + 3 * kAhead; ++p) {
            std::size_t at = p % kAhead;
            if (tabled(p, 3 * kAhead)) insert(static_cast<std::uint32_t>(p - 3 * kAhead), hashes[at]);
            if (tabled(p, 2 * kAhead)) {
                hashes[at] = this->hash(texts[at]);
                __builtin_prefetch(&keyTable_[hashes[at] & (slots - 1)], 1);
            }
            if (tabled(p, kAhead)) {
                texts[at] = keyText(static_cast<std::uint32_t>(p - kAhead));
                __builtin_prefetch(texts[at].data());
            }
            if (tabled(p, 0)) doc_->prefetch(keys_[p], true);
        }
    }
    insert(place, hash);
}

void DocumentBuilder::insert(std::uint32_t place, std::uint32_t hash) {
    std::size_t mask = keyTable_.size() - 1;
    std::size_t i = hash & mask;
    while (keyTable_[i] != 0) i = (i + 1) & mask;
    keyTable_[i] = static_cast<std::uint32_t>(tagOf(hash) << tableBits_ | (place + 1));
}

std::uint32_t DocumentBuilder::key(std::string_view text) { return keys_[keyPlace(text, hash(text))]; }

bool DocumentBuilder::comesAfter(std::string_view text, KeyRun& run) {
    std::size_t keys = (items_.size() - run.opened) / 2;
    if (keys < kOrderedFrom) return false;  // a record's keys, most often: never compared
    if (keys == kOrderedFrom) {
        // Those looked up as they came are compared once.
        if (!pending_.empty()) settleKeys();
        std::string_view before;
        for (std::size_t k = 0; k < keys && run.ordered; ++k) {
            Document::Object o = doc_->object(items_[run.opened + 2 * k]);
            std::string_view t(reinterpret_cast<const char*>(o.data), o.count);
            run.ordered = k == 0 || before < t;
            before = t;
        }
        if (run.ordered) run.last.assign(before.data(), before.size());
    }
    if (run.ordered && std::string_view(run.last) < text) {
        run.last.assign(text.data(), text.size());
        return true;
    }
    // Past the first ones, every key so far came in order: they are looked
    // up now, unless the rest are to be made without a look-up as well.
    if (keys > kOrderedFrom && run.newInARow < kOrderedFrom) lookUp(run);
    run.ordered = false;
    return false;
}

void DocumentBuilder::addKey(std::string_view text, KeyRun* run) {
    bool unlooked = false;
    if (run != nullptr) {
        if (run->ordered) unlooked = comesAfter(text, *run);
        if (!run->ordered) unlooked = run->byRank = run->byRank || run->newInARow >= kOrderedFrom;
    }
    // The key that followed this place in the keys' order before, as a
    // file's records hold their keys: a key found so is neither hashed nor
    // looked up. One made without a look-up is never guessed: it stays in
    // the dictionary that made it, the only one that could hold it twice.
    std::uint32_t guess = cursor_ < next_.size() ? next_[cursor_] : Document::npos;
    if (guess >= keys_.size()) guess = Document::npos;
    if (guess != Document::npos && tabled_[guess] && keyText(guess) == text) {
        items_.push_back(keys_[guess]);
        cursor_ = lastAdded_ = guess;
        return;
    }
    std::uint32_t h = unlooked ? 0 : hash(text);
    if (!unlooked && !keyTable_.empty()) __builtin_prefetch(&keyTable_[h & (keyTable_.size() - 1)]);
    // Where objects are written over the text, its text may be gone by then.
    std::size_t keptAt = std::string::npos;
    if (inText_ != nullptr) keptAt = pendingTexts_.size(), pendingTexts_.append(text);
    pending_.push_back(PendingKey{text, keptAt, h, lastAdded_, guess, items_.size(), run, unlooked});
    items_.push_back(Document::npos);
    // A key in the guessed one's stead (a record's own name, say) is
    // followed by what followed that one.
    cursor_ = guess;
    lastAdded_ = Document::npos;
    if (pending_.size() == kPendingKeys) settleKeys();
}

void DocumentBuilder::settleKeys() {
    std::uint32_t before = Document::npos;
    for (const PendingKey& k : pending_) {
        std::string_view text = k.text;
        if (k.keptAt != std::string::npos) text = std::string_view(pendingTexts_).substr(k.keptAt, text.size());
        std::size_t made = keys_.size();
        std::uint32_t place = k.unlooked ? newKey(text, nullptr) : keyPlace(text, k.hash);
        items_[k.item] = keys_[place];
        if (k.run != nullptr && !k.unlooked) k.run->newInARow = keys_.size() > made ? k.run->newInARow + 1 : 0;
        std::uint32_t after = k.after != Document::npos ? k.after : before;
        if (after < next_.size() && next_[after] == Document::npos) next_[after] = place;
        if (k.displaced < next_.size() && place < next_.size() && next_[place] == Document::npos)
            next_[place] = next_[k.displaced];
        before = place;
    }
    if (lastAdded_ == Document::npos) lastAdded_ = before;
    if (cursor_ == Document::npos) cursor_ = lastAdded_;
    pending_.clear();
    pendingTexts_.clear();
    if (pendingTexts_.capacity() > kPendingTextsKept) std::string().swap(pendingTexts_);  // not held on for one long key
}

void DocumentBuilder::lookUp(const KeyRun& run) {
    // Each key made without a look-up becomes the one of its text already
    // in the table, or joins it: from here on the dictionary's keys are
    // told apart by their objects. A key's place is found by halves, the
    // keys being made in the order of their objects.
    if (!pending_.empty()) settleKeys();
    for (std::size_t k = run.opened + 2 * kOrderedFrom; k < items_.size(); k += 2) {
        auto at = std::lower_bound(keys_.begin(), keys_.end(), items_[k]);
        auto place = static_cast<std::uint32_t>(at - keys_.begin());
        if (at == keys_.end() || *at != items_[k] || tabled_[place]) continue;
        std::string_view text = keyText(place);
        std::uint32_t h = hash(text);
        std::uint32_t found = findKey(text, h);
        if (found != Document::npos) {
            items_[k] = keys_[found];
            continue;
        }
        enter(place, h, nullptr);
        tabled_[place] = true;
    }
}

std::uint32_t DocumentBuilder::keyPlace(std::string_view text, std::uint32_t h) {
    std::uint32_t found = findKey(text, h);
    return found != Document::npos ? found : newKey(text, &h);
}

std::uint32_t DocumentBuilder::newKey(std::string_view text, const std::uint32_t* hash) {
    std::uint32_t index = string(text);
    auto place = static_cast<std::uint32_t>(keys_.size());
    if (hash != nullptr) {
        // How far the text has been read: where the key is, or where the
        // reader is once the key's text is kept apart.
        const char* at = inSource(text) ? text.data() : read_ != nullptr ? text_ + *read_ : nullptr;
        enter(place, *hash, at);
    }
    keys_.push_back(index);
    tabled_.push_back(hash != nullptr);
    if (place < kFollowedKeys) next_.push_back(Document::npos);
    return place;
}

std::uint32_t DocumentBuilder::copy(std::uint32_t index) {
    Document::Object o = doc_->object(index);
    std::string_view text(reinterpret_cast<const char*>(o.data), o.count);
    if (inSource(text)) return string(text);
    return string(std::string(text));  // the text is in the objects, which grow
}

std::uint32_t DocumentBuilder::dictionary(std::size_t opened, bool uids, const KeyRun* run) {
    if (!pending_.empty()) settleKeys();
    std::size_t n = (items_.size() - opened) / 2;
    bool byRank = run != nullptr && run->byRank;
    auto pairs = [&](std::size_t k) -> std::uint32_t& { return items_[opened + k]; };
    // Whether the keys of `count` entries are objects in the order they
    // were made, and so no two the same: the first dictionary of a kind
    // makes its keys in its order, and those like it hold them so.
    auto increasing = [&](std::size_t count) {
        for (std::size_t k = 1; k < count; ++k)
            if (pairs(2 * k) <= pairs(2 * k - 2)) return false;
        return true;
    };
    if (n > 1 && !byRank && !increasing(n)) {
        // Equal keys are one object: the first keeps its place and takes
        // the last one's value; the others are dropped. Large dictionaries
        // find theirs by key object, in a table of one and a half to three
        // times as many places.
        std::vector<bool>& dropped = dropped_;
        dropped.assign(n, false);
        bool anyDropped = false;
        if (n < kIndexedFrom) {
            for (std::size_t k = 1; k < n; ++k)
                for (std::size_t j = 0; j < k; ++j)
                    if (!dropped[j] && pairs(2 * j) == pairs(2 * k)) {
                        pairs(2 * j + 1) = pairs(2 * k + 1);
                        dropped[k] = anyDropped = true;
                        break;
                    }
        } else {
            // A place holds one more than the number of the first entry of
            // its key; 0 where empty.
            int bits = 64 - __builtin_clzll(n + n / 2);
            std::vector<std::uint32_t>& seen = seen_;
            seen.assign(std::size_t{1} << bits, 0);
            for (std::size_t k = 0; k < n; ++k) {
                std::uint32_t key = pairs(2 * k);
                std::size_t at = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
                while (seen[at] != 0 && pairs(2 * (seen[at] - 1)) != key) at = (at + 1) & (seen.size() - 1);
                if (seen[at] == 0) {
                    seen[at] = static_cast<std::uint32_t>(k + 1);
                    continue;
                }
                pairs(2 * (seen[at] - 1) + 1) = pairs(2 * k + 1);
                dropped[k] = anyDropped = true;
            }
        }
        if (anyDropped) {
            std::size_t kept = 0;
            for (std::size_t k = 0; k < n; ++k) {
                if (dropped[k]) continue;
                pairs(2 * kept) = pairs(2 * k);
                pairs(2 * kept + 1) = pairs(2 * k + 1);
                ++kept;
            }
            n = kept;
            items_.resize(opened + 2 * n);
        }
    }
    if (uids && n == 1) {
        std::uint32_t uidKey = findKey("CF$UID", hash("CF$UID"));
        if (uidKey != Document::npos && pairs(0) == keys_[uidKey]) {
            Document::Object value = doc_->object(pairs(1));
            Scalar s = doc_->scalar(value);
            if (value.kind() == 0x10 && !s.isUnsigned && s.integer() >= 0 && s.integer() <= 0xFFFFFFFF) {
                items_.resize(opened);
                return scalar(Scalar{Type::Uid, false, s.bits});
            }
        }
    }
    if (n == 1 && !keys_.empty() && pairs(0) == keys_.back()) ++lonelyKeys_;
    char* p;
    std::uint32_t index = begin(0xD0, n, 2 * n * kRefSize, p);
    for (std::size_t k = n; k-- > 0;) {
        put<kRefSize>(p + k * kRefSize, items_[opened + 2 * k]);
        put<kRefSize>(p + (n + k) * kRefSize, items_[opened + 2 * k + 1]);
        if (((opened + 2 * k) & ItemStack::kMask) < 2) items_.resize(opened + 2 * k);
    }
    items_.resize(opened);
    if (byRank) byRank_.push_back(index);  // equal keys, the same object or not, are found once ranked
    return index;
}

void DocumentBuilder::mergeEqualKeys(std::uint32_t dict, std::vector<std::uint64_t>& seen,
                                     std::vector<std::uint32_t>& first) {
    Document& doc = *doc_;
    Document::Object o = doc.object(dict);
    auto rank = [&](std::uint64_t k) { return doc.keyRank(doc.ref(o, k)); };
    // Most often there are none, which a bit a rank tells. The tables are
    // the same for every dictionary, made once, and left as they were
    // found: many dictionaries cost no more than one of all their keys.
    if (seen.empty()) seen.assign(doc.rankCount() / 64 + 1, 0);
    std::uint64_t k = 0;
    for (; k < o.count; ++k) {
        std::uint32_t r = rank(k);
        std::uint64_t bit = std::uint64_t{1} << r % 64;
        if (seen[r / 64] & bit) break;
        seen[r / 64] |= bit;
    }
    for (std::uint64_t j = 0; j < k; ++j) seen[rank(j) / 64] = 0;
    if (k == o.count) return;
    if (first.empty()) first.assign(doc.rankCount(), Document::npos);  // by rank, where the first key of it was kept
    std::vector<std::uint32_t> keys, values;
    for (k = 0; k < o.count; ++k) {
        std::uint32_t key = doc.ref(o, k), value = doc.ref(o, o.count + k);
        std::uint32_t& kept = first[doc.keyRank(key)];
        if (kept != Document::npos) {
            values[kept] = value;
            continue;
        }
        kept = static_cast<std::uint32_t>(keys.size());
        keys.push_back(key);
        values.push_back(value);
    }
    for (std::uint32_t key : keys) first[doc.keyRank(key)] = Document::npos;
    // Written over the dictionary's own references, its count in the room
    // its count took: a dictionary of so many keys has its count after its
    // marker, in as many bytes as the integer's marker tells.
    auto* at = const_cast<unsigned char*>(doc.bytes_ + doc.offset(dict));
    std::uint64_t n = keys.size();
    putWidth(reinterpret_cast<char*>(at + 2), n, at[1] & 0x0F);
    char* refs = reinterpret_cast<char*>(const_cast<unsigned char*>(o.data));
    for (std::uint64_t j = 0; j < n; ++j) {
        put<kRefSize>(refs + j * kRefSize, keys[j]);
        put<kRefSize>(refs + (n + j) * kRefSize, values[j]);
    }
}

DocumentBuilder::Mark DocumentBuilder::mark() {
    if (!pending_.empty()) settleKeys();
    return Mark{used_, count(), items_.size()};
}

void DocumentBuilder::rewind(const Mark& m) {
    while (!pending_.empty() && pending_.back().item >= m.items) pending_.pop_back();
    // The keys first, while their objects still stand: a key's text is its
    // object's. Each is the newest, entered after every older key (growing
    // enters them again in that order), so no older key's probe passes its
    // slot, which is simply left empty.
    while (!keys_.empty() && keys_.back() >= m.objects) {
        if (tabled_.back()) {
            std::size_t mask = keyTable_.size() - 1;
            std::size_t i = hash(keyText(static_cast<std::uint32_t>(keys_.size() - 1))) & mask;
            while (placeOf(keyTable_[i]) != keys_.size()) i = (i + 1) & mask;
            keyTable_[i] = 0;
        }
        tabled_.pop_back();
        if (next_.size() == keys_.size()) next_.pop_back();
        keys_.pop_back();
    }
    while (!byRank_.empty() && byRank_.back() >= m.objects) byRank_.pop_back();
    cursor_ = lastAdded_ = Document::npos;
    for (std::uint32_t& shared : booleans_)
        if (shared >= m.objects) shared = Document::npos;
    used_ = m.bytes;
    if (doc_->wideOffsets_.empty()) doc_->offsets_.resize(m.objects);
    else doc_->wideOffsets_.resize(m.objects);
    items_.resize(m.items);
}

std::unique_ptr<Document> DocumentBuilder::finish(std::uint32_t root, Bytes source, bool wellFormed) {
    read_ = nullptr;  // the reader is gone
    if (!pending_.empty()) settleKeys();
    doc_->size_ = used_;
    doc_->count_ = static_cast<std::uint32_t>(count());
    doc_->root_ = root;
    std::size_t objectsAt = inText_ ? static_cast<std::size_t>(inText_ - source_.data()) : 0;
    doc_->ownedSource_ = std::move(source);
    doc_->source_ = doc_->ownedSource_;  // the same text, wherever it now is
    if (inText_) {
        doc_->bytes_ = reinterpret_cast<const unsigned char*>(doc_->source_.data()) + objectsAt;
        doc_->built_.reset();
        doc_->spare_ = doc_->ownedSource_.data() + objectsAt + used_;
        doc_->spareSize_ = doc_->ownedSource_.size() - objectsAt - used_;
    }
    doc_->keysRepeated_ = doc_->tree_ = true;
    doc_->wellFormed_ = wellFormed;
    // What only the reading needed goes before the keys are ranked: for a
    // root of many keys, as much memory again as the ranking's own.
    auto release = [](auto& held) { std::remove_reference_t<decltype(held)>().swap(held); };
    items_.clear();
    release(keyTable_), release(next_), release(tabled_);
    release(seen_), release(dropped_), release(pending_), release(pendingTexts_);
    // Where many keys may be alone in their dictionaries (a list of
    // entries each under a name of its own, say), the dictionaries are
    // walked for those that are not: the others need no place in the
    // sort. Elsewhere (a quarter of the keys or a sixteenth of the objects
    // short of it) the walk would cost more than it could spare.
    std::vector<std::uint64_t> shared;
    if (lonelyKeys_ != 0 && 4 * lonelyKeys_ >= keys_.size() && 16 * lonelyKeys_ >= doc_->count_)
        shared = doc_->sharedKeys([](std::uint32_t) { return true; });
    doc_->index(std::move(keys_), shared.empty() ? nullptr : &shared);
    std::vector<std::uint64_t> seen;
    std::vector<std::uint32_t> first;
    for (std::uint32_t dict : byRank_) mergeEqualKeys(dict, seen, first);
    return std::move(doc_);
}

std::unique_ptr<Document> DocumentBuilder::emptyDictionary() {
    DocumentBuilder builder{std::string_view()};
    return builder.finish(builder.dictionary(builder.open(), false), std::string(), true);
}

}  // namespace plist
