#include "WriteCheck.h"

#include <algorithm>
#include <cmath>

#include "PropertyList.h"
#include "RadixSort.h"
#include "TwoParts.h"

namespace plist::detail {

namespace {

// Shared strings and data expand linearly rather than exponentially, so the
// 1536-reference rule does not bound them: a file of a few kilobytes could
// still hold one long string referenced thousands of times. The text may
// grow to this many times what the document holds, or to the floor below,
// whichever is more.
constexpr std::uint64_t kMaxExpansion = 64;
constexpr std::uint64_t kExpansionFloor = std::uint64_t{16} << 20;
constexpr std::uint64_t kSaturated = std::uint64_t{1} << 62;
constexpr std::uint64_t kLineCost = 32;  // tags and line end, roughly; the indent apart
// What the document holds for each reference to a child, about what a file
// spends on one. Lines deep down cost far more: a few hundred levels of
// indent on each of many small values is out of proportion too.
constexpr std::uint64_t kHeldPerReference = 8;
constexpr std::size_t kRadixFrom = 64;  // entries: below, a sort by compares is as quick
constexpr std::uint64_t kLongText = 64;  // bytes: from here a string is counted once

// A container not yet met, being walked, walked, met more than once, and
// (those) its extent kept.
constexpr std::uint8_t kUnvisited = 0, kOpen = 1, kDone = 2, kShared = 3, kMeasured = 4;

Extent containerExtent() { return Extent{kLineCost, 2}; }

// A scalar, string or data whose text holds `size` bytes (see textSize).
Extent leafExtent(unsigned char kind, std::uint64_t size) {
    if (kind == 0x80) return Extent{4 * kLineCost, 4};  // a UID: a dictionary of one integer
    return Extent{kLineCost + size, kind == 0x40 ? 2u : 1u};
}

unsigned char kindOf(Type type) { return type == Type::Uid ? 0x80 : type == Type::Date ? 0x30 : 0x00; }

// A key the tool sets, and its value, a scalar.
void addEdit(Extent& extent, const Document::Edit& edit) {
    extent.add(leafExtent(0x50, edit.key.size()));
    extent.add(leafExtent(kindOf(edit.value.type), 0));
}

}  // namespace

void checkDate(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > 6.7e16) refuse("date out of range");
}

void Extent::add(const Extent& child) {
    bytes = std::min(kSaturated, bytes + child.bytes + child.lines);
    lines = std::min(kSaturated, lines + child.lines);
}

// ahead() for entries that hold their keys' places: a binary file's, whose
// text is its object.
void Entries::aheadOfPlaces(std::size_t k) const {
    constexpr std::size_t kAhead = 8;
    if (k + 2 * kAhead < listed_) doc_->prefetch(list_[k + 2 * kAhead].value, false);
    if (k + kAhead < listed_) {
        doc_->prefetchAt(list_[k + kAhead].key);
        doc_->prefetch(list_[k + kAhead].value, true);
    }
}

const Entries& Entries::of(const Document& doc, const Document::Object& dict, bool places) {
    giveBack();
    if (doc_ != &doc) keysBefore_.clear();
    doc_ = &doc;
    dict_ = dict;
    inOrder_ = true;
    holdsPlaces_ = false;
    std::uint32_t last = 0;
    for (std::uint64_t k = 0; k < dict.count && inOrder_; ++k) {
        std::uint32_t rank = doc.keyRank(doc.ref(dict, k));
        if (rank == Document::npos) refuse("dictionary key is not a string");
        inOrder_ = k == 0 || rank > last;
        last = rank;
    }
    if (inOrder_) return *this;
    // The keys of the dictionary ordered last, in the same order (records,
    // as a writer that keeps no order leaves them): its order again.
    bool same = keysBefore_.size() == dict.count;
    for (std::uint64_t k = 0; k < dict.count && same; ++k) same = doc.ref(dict, k) == keysBefore_[k];
    if (same) {
        for (std::size_t i = 0; i < entries_.size(); ++i) entries_[i].value = doc.ref(dict, dict.count + places_[i]);
        list_ = entries_.data(), listed_ = entries_.size();
        return *this;
    }
    keysBefore_.clear();
    entries_.clear();
    if (doc.holdsManyKeys(dict)) {
        // A dictionary that holds a good share of the document's keys (a
        // wide root out of order) is ordered by setting each entry at its
        // rank's place: a sort would move each some twenty times. Its
        // references are then read in that order, each asked for ahead,
        // and so are their keys' places where those are to be held: in
        // this short loop, the lookups overlap as they would not in a walk
        // that writes each entry. Where there are many, the entries of the
        // first half of the ranks are made on this thread and the rest on
        // another, each into its own stretch of them.
        //
        // Both tables go in the document's spare memory where it lends
        // enough (an XML text's, or the room a binary file's keys were
        // sorted through: touched already, where memory of their own would
        // take a page fault every 4 kB).
        std::size_t ranks = doc.rankCount();
        std::uint32_t* placed = nullptr;
        std::vector<std::uint32_t> ownPlaced;
        Entry* list = nullptr;
        if (char* spare = doc.lendSpare(ranks * sizeof(std::uint32_t) + dict.count * sizeof(Entry))) {
            lender_ = &doc;
            placed = reinterpret_cast<std::uint32_t*>(spare);
            list = reinterpret_cast<Entry*>(spare + ranks * sizeof(std::uint32_t));
            std::fill_n(placed, ranks, Document::npos);
        } else {
            ownPlaced.assign(ranks, Document::npos);
            placed = ownPlaced.data();
        }
        std::size_t half = ranks >= kTwoPartsFrom ? ranks / 2 : ranks;
        std::size_t count = 0, inFirst = 0;  // entries; of them, those of the first half's ranks
        for (std::uint32_t k = 0; k < dict.count; ++k) {
            std::uint32_t rank = doc.keyRank(doc.ref(dict, k));
            if (rank == Document::npos) refuse("dictionary key is not a string");
            if (placed[rank] != Document::npos) continue;
            placed[rank] = k;
            ++count, inFirst += rank < half;
        }
        const bool holding = holdsPlaces_ = places && doc.placesInFileTable();
        if (list == nullptr) entries_.resize(count), list = entries_.data();
        list_ = list, listed_ = count;
        const std::size_t from[3] = {0, half, ranks}, at[2] = {0, inFirst};
        auto make = [&](std::size_t part) {
            constexpr std::size_t kAhead = 16;
            Entry* out = list + at[part];
            for (std::size_t r = from[part], end = from[part + 1]; r < end; ++r) {
                if (r + kAhead < end && placed[r + kAhead] != Document::npos) {
                    doc.prefetchRef(dict, placed[r + kAhead]);
                    doc.prefetchRef(dict, dict.count + placed[r + kAhead]);
                }
                if (holding && r + kAhead / 2 < end && placed[r + kAhead / 2] != Document::npos)
                    doc.prefetch(doc.ref(dict, placed[r + kAhead / 2]), false);
                std::uint32_t k = placed[r];
                if (k == Document::npos) continue;
                std::uint32_t key = doc.ref(dict, k);
                if (holding) key = static_cast<std::uint32_t>(doc.place(key));
                *out++ = Entry{static_cast<std::uint32_t>(r), key, doc.ref(dict, dict.count + k)};
            }
        };
        if (half == ranks) make(0);
        else inTwoParts(make);
        return *this;
    }
    entries_.reserve(dict.count);  // at once: a wide root's grown by doubling could take twice the room
    // Each entry holds its place until it is sorted.
    for (std::uint64_t k = 0; k < dict.count; ++k) {
        std::uint32_t key = doc.ref(dict, k);
        std::uint32_t rank = doc.keyRank(key);
        if (rank == Document::npos) refuse("dictionary key is not a string");
        entries_.push_back(Entry{rank, key, static_cast<std::uint32_t>(k)});
    }
    // Equal keys have equal ranks; the first of them stays first.
    auto before = [](const Entry& a, const Entry& b) { return a.rank < b.rank; };
    bool sorted = std::is_sorted(entries_.begin(), entries_.end(), before);
    if (!sorted && entries_.size() < kRadixFrom) {
        std::stable_sort(entries_.begin(), entries_.end(), before);
    } else if (!sorted) {
        // A byte of the rank at a time, as many as the document's ranks take.
        unsigned digits = 1;
        while (digits < 4 && (doc.rankCount() - 1) >> (8 * digits) != 0) ++digits;
        sorted_.resize(entries_.size());
        radixSort(entries_.data(), entries_.data() + entries_.size(), sorted_.data(), digits,
                  [digits](const Entry& e, unsigned d) { return e.rank >> (8 * (digits - 1 - d)) & 0xFF; });
    }
    entries_.erase(std::unique(entries_.begin(), entries_.end(),
                               [](const Entry& a, const Entry& b) { return a.rank == b.rank; }),
                   entries_.end());
    places_.resize(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i)
        places_[i] = entries_[i].value, entries_[i].value = doc.ref(dict, dict.count + places_[i]);
    if (dict.count < Document::kManyKeys)
        for (std::uint64_t k = 0; k < dict.count; ++k) keysBefore_.push_back(doc.ref(dict, k));
    list_ = entries_.data(), listed_ = entries_.size();
    return *this;
}

WriteCheck::WriteCheck(const Document& doc, const Entries& root, bool asInFile)
    : doc_(doc),
      root_(root),
      // A tree's containers are each met once: nothing to keep of them.
      state_(doc.tree() ? 0 : doc.containerCount(), kUnvisited),
      height_(state_.empty() ? nullptr : zeroed<std::uint16_t>(state_.size())),
      seenText_(doc.objectCount(), false),
      asInFile_(asInFile) {}

// The bytes of a string's text, or twice a data object's bytes (base64 and
// its lines). Remembered for a long string that takes decoding once it is
// met again: a file may refer to one from everywhere, while most are met
// once, and an entry for each of those would cost more than the counting.
inline std::uint64_t WriteCheck::textSize(std::uint32_t index, const Document::Object& o) {
    unsigned char kind = o.kind();
    if (kind == 0x40) return o.count * 2;
    if (kind == Document::kUtf8) return o.count;
    if (kind != 0x50 && kind != 0x60) return 0;
    if (o.count < kLongText) return doc_.textSize(o);
    return longTextSize(index, o);
}

std::uint64_t WriteCheck::longTextSize(std::uint32_t index, const Document::Object& o) {
    if (!seenText_[index]) return doc_.textSize(o);  // met first (see firstSightOf)
    auto found = sizes_.try_emplace(index, 0);
    if (found.second) found.first->second = doc_.textSize(o);
    return found.first->second;
}

std::uint64_t WriteCheck::run() {
    std::uint32_t root = doc_.root();
    Document::Object o = doc_.object(root);
    if (o.kind() != 0xD0) refuse("the root is not a dictionary");
    Extent extent;
    container(root, o, 0, extent);
    if (shared_) {
        // Each container's extent once more, those held twice kept: the
        // first walk keeps none, so that a document of many small
        // containers takes no more room for them.
        extent_.resize(doc_.containerCount());
        order_.reserve(doc_.containerCount());  // exactly: grown by doubling, it could take twice the room
        extent = extentOf(root, o, 0);
        countOccurrences();
    }
    if (extent.bytes > std::max(kExpansionFloor, kMaxExpansion * held_))
        refuse("the text would be out of all proportion to the value");
    return extent.bytes;
}

// How many levels the object's text reaches below its own; `extent` is a
// container's (unless it was met before).
int WriteCheck::visit(std::uint32_t index, const Document::Object& o, int depth, std::uint64_t size, Extent& extent) {
    switch (o.kind()) {
    case 0x00:
        if (o.marker == 0x00) refuse("null cannot be written");
        return 0;
    case 0x30: checkDate(doc_.scalar(o).real()); return 0;
    case 0x40: firstSightOf(index, size); return 0;
    case 0x50:
    case 0x60:
    case Document::kUtf8:
        if (firstSightOf(index, size) && doc_.hasLoneSurrogate(o)) refuse("string holds a lone surrogate");
        return 0;
    case 0x80: return 1;  // written as a dictionary holding one integer
    case 0xA0:
    case 0xD0: return container(index, o, depth, extent);
    case 0xC0: refuse("set cannot be written");
    default: return 0;
    }
}

// A container's extent where some are held twice, each worked out once.
Extent WriteCheck::extentOf(std::uint32_t index, const Document::Object& o, int depth) {
    std::uint32_t c = doc_.containerNumber(index, o);
    if (state_[c] == kMeasured) return extent_[c];
    Extent extent = containerExtent();
    eachChild(index, o, depth, [&](std::uint32_t child, std::uint32_t key, const Document::Edit* edit) {
        if (edit) {
            addEdit(extent, *edit);
            return;
        }
        Document::Object co = doc_.object(child);
        if (key != Document::npos) extent.add(leafExtent(0x50, textSize(key, doc_.object(key))));
        if (doc_.containerNumber(child, co) != Document::npos) extent.add(extentOf(child, co, depth + 1));
        else extent.add(leafExtent(co.kind(), textSize(child, co)));
    });
    if (state_[c] == kShared) {
        state_[c] = kMeasured;
        extent_[c] = extent;
    }
    order_.push_back(index);
    return extent;
}

// Each child with its key (npos in an array); the root's with its edits,
// each edit as the child npos.
template <typename Each>
void WriteCheck::eachChild(std::uint32_t index, const Document::Object& o, int depth, Each each) {
    if (o.count == 0 && index != doc_.root()) return;  // the root may have edits
    if (o.kind() == 0xD0) {
        const Entries& entries = index == doc_.root() ? root_ : pool_.at(depth).of(doc_, o);
        for (std::size_t k = 0, n = entries.size(); k < n; ++k)
            if (doc_.keyHasLoneSurrogate(entries[k].rank)) refuse("key holds a lone surrogate");
        if (index != doc_.root()) {
            entries.each([&](const Entry& e) { each(entries.value(e), entries.key(e), nullptr); });
            return;
        }
        if (asInFile_) {
            // The first entry of each key, those the edits replace apart,
            // and the edits: the objects are met in the order they lie.
            std::vector<std::uint64_t> met(doc_.rankCount() / 64 + 1, 0);
            auto meet = [&](std::uint32_t rank) {
                bool before = met[rank / 64] >> rank % 64 & 1;
                met[rank / 64] |= std::uint64_t{1} << rank % 64;
                return !before;
            };
            for (const Document::Edit& edit : doc_.edits()) {
                if (edit.replaces) meet(edit.position);
                each(Document::npos, Document::npos, &edit);
            }
            for (std::uint64_t k = 0; k < o.count; ++k) {
                doc_.prefetchAhead(o, o.count + k, 2 * o.count);
                std::uint32_t key = doc_.ref(o, k);
                if (meet(doc_.keyRank(key))) each(doc_.ref(o, o.count + k), key, nullptr);
            }
            return;
        }
        eachRootEntry(
            doc_, root_, [&](const Entry& e) { each(root_.value(e), root_.key(e), nullptr); },
            [&](const Document::Edit& edit) { each(Document::npos, Document::npos, &edit); });
    } else {
        for (std::uint64_t k = 0; k < o.count; ++k) {
            doc_.prefetchAhead(o, k, o.count);
            each(doc_.ref(o, k), Document::npos, nullptr);
        }
    }
}

int WriteCheck::container(std::uint32_t index, const Document::Object& o, int depth, Extent& extent) {
    if (depth > kMaxDepth) refuse("nested too deep");
    std::uint32_t c = doc_.containerNumber(index, o);
    bool tracked = !state_.empty();
    if (tracked && state_[c] == kOpen) refuse("reference cycle");
    if (tracked && state_[c] != kUnvisited) {
        // Its extent is worked out again, after this walk.
        state_[c] = kShared;
        shared_ = true;
        return height_[c];
    }
    if (tracked) state_[c] = kOpen;
    int height = 0;
    extent = containerExtent();
    eachChild(index, o, depth, [&](std::uint32_t child, std::uint32_t key, const Document::Edit* edit) {
        held_ += kHeldPerReference;
        if (edit) {
            held_ += edit->key.size();
            if (edit->value.type == Type::Date) checkDate(edit->value.real());
            height = std::max(height, edit->value.type == Type::Uid ? 2 : 1);
            addEdit(extent, *edit);
            return;
        }
        Document::Object co = doc_.object(child);
        std::uint64_t size = textSize(child, co);
        Extent childExtent = leafExtent(co.kind(), size);
        if (co.count == 0 && (co.kind() == 0xA0 || co.kind() == 0xD0)) {
            // An empty container, taken as container() takes one, without
            // the walk: its lines, and nothing below them.
            if (depth + 1 > kMaxDepth) refuse("nested too deep");
            height = std::max(height, 1);
            std::uint8_t met = kUnvisited;
            if (tracked) {
                std::uint8_t& state = state_[doc_.containerNumber(child, co)];
                met = state;
                state = met == kUnvisited ? kDone : kShared;
            }
            if (met == kUnvisited) childExtent = containerExtent();
            else shared_ = true;
        } else {
            height = std::max(height, 1 + visit(child, co, depth + 1, size, childExtent));
        }
        if (key != Document::npos) {
            std::uint64_t keySize = textSize(key, doc_.object(key));
            // A key the file repeats in full counts each time, as it costs
            // the file each time.
            if (doc_.keysRepeated()) held_ += keySize;
            else firstSightOf(key, keySize);
            extent.add(leafExtent(0x50, keySize));
        }
        extent.add(childExtent);
    });
    if (depth + height > kMaxDepth) refuse("nested too deep");
    if (tracked) {
        state_[c] = kDone;
        height_[c] = static_cast<std::uint16_t>(height);
    }
    return height;
}

// True the first time a string or data object is met. Long ones are checked
// and counted towards what the document holds once, however often they are
// referenced; short ones each time, which keeps the bookkeeping small and
// cannot hide a real blow-up.
bool WriteCheck::firstSightOf(std::uint32_t index, std::uint64_t size) {
    if (size >= kLongText) {
        if (seenText_[index]) return false;
        seenText_[index] = true;
    }
    held_ += size;
    return true;
}

// Each container's occurrences in the text, from the root down; a container
// that would appear more than 1536 times is refused, as Foundation refuses it.
void WriteCheck::countOccurrences() {
    std::vector<std::uint16_t> occurrences(doc_.containerCount(), 0);
    auto add = [&](std::uint32_t index, std::uint64_t times) {
        if (index == Document::npos) return;  // an edit
        std::uint32_t c = doc_.containerNumber(index, doc_.object(index));
        if (c == Document::npos) return;
        std::uint64_t n = std::min<std::uint64_t>(occurrences[c] + times, kMaxReferences + 1);
        if (n > kMaxReferences) refuse("a container would appear more than 1536 times");
        occurrences[c] = static_cast<std::uint16_t>(n);
    };
    add(doc_.root(), 1);
    // Reverse post-order puts every container before the ones it holds.
    for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
        Document::Object o = doc_.object(*it);
        std::uint64_t times = occurrences[doc_.containerNumber(*it, o)];
        eachChild(*it, o, 0, [&](std::uint32_t child, std::uint32_t, const Document::Edit*) { add(child, times); });
    }
}

}  // namespace plist::detail
