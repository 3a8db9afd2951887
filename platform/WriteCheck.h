// What the XML writer must refuse, checked on a whole document before (or
// while) it is written: what Foundation refuses to write, what would not read
// back equal, and text out of all proportion to the document.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "Document.h"
#include "TwoParts.h"

namespace plist::detail {

struct WriteFailure {
    const char* what;
};

[[noreturn]] inline void refuse(const char* what) { throw WriteFailure{what}; }

// Dates beyond this many seconds from 2001 have no year the text can hold.
void checkDate(double seconds);

// A dictionary as the writer sees it: string keys only, the first of equal
// keys kept, in the order the text lists them. An entry is its key's rank,
// its key (its object's number, or its place) and its value: a dictionary
// out of order is walked in its keys' order, and references read then would
// each be a miss of the cache.
struct Entry {
    std::uint32_t rank, key, value;
};

class Entries {
public:
    Entries() = default;
    Entries(const Entries&) = delete;
    Entries& operator=(const Entries&) = delete;
    ~Entries() { giveBack(); }

    // Refuses a key that is not a string (the check refuses those with a
    // lone surrogate itself). With `places`, the entries of a wide
    // dictionary out of order in a binary file hold their keys' places
    // rather than their numbers (see keyObject()): a walk in its keys'
    // order then looks none of them up in the file's table. Values stay
    // numbers: a container's own objects are numbered after it, so their
    // places lie beside its own in the table, which the walk asks for
    // ahead.
    const Entries& of(const Document& doc, const Document::Object& dict, bool places = false);

    bool empty() const { return size() == 0; }
    // Whether the entries are the dictionary's own, in its order.
    bool inOrder() const { return inOrder_; }
    std::size_t size() const { return inOrder_ ? static_cast<std::size_t>(dict_.count) : listed_; }
    Entry operator[](std::size_t k) const {
        if (!inOrder_) return list_[k];
        std::uint32_t key = doc_->ref(dict_, k);
        return Entry{doc_->keyRank(key), key, doc_->ref(dict_, dict_.count + k)};
    }
    // Each entry in turn, for a walk that does much with each; entries out
    // of the order of their objects are asked for ahead (see ahead).
    template <typename Each>
    void each(Each f) const {
        for (std::size_t k = 0, n = size(); k < n; ++k) {
            ahead(k);
            f((*this)[k]);
        }
    }
    // The key's number, for entries that hold it (those made without
    // `places`), and the value's.
    std::uint32_t key(const Entry& e) const { return e.key; }
    std::uint32_t value(const Entry& e) const { return e.value; }
    Document::Object keyObject(const Entry& e) const {
        return holdsPlaces_ ? doc_->objectAt(e.key) : doc_->object(e.key);
    }

private:
    // Entries out of the order of their objects reach them all over the
    // document: at each k, the key and value of one further on are asked
    // for ahead, their offsets first, then their objects. (A quick walk
    // would wait for each instead.) Entries in order have only their
    // values asked for, and only where many are shared.
    void ahead(std::size_t k) const {
        constexpr std::size_t kAhead = 8;
        if (inOrder_) {
            doc_->prefetchAhead(dict_, dict_.count + k, 2 * dict_.count);  // its values
            return;
        }
        if (holdsPlaces_) return aheadOfPlaces(k);
        auto fetch = [&](std::size_t later, bool bytes) {
            if (later >= listed_) return;
            doc_->prefetch(key(list_[later]), bytes);
            doc_->prefetch(value(list_[later]), bytes);
        };
        fetch(k + 2 * kAhead, false);
        fetch(k + kAhead, true);
        if (k + kAhead / 2 < listed_) {
            Entry later = list_[k + kAhead / 2];
            doc_->prefetchText(key(later));
            doc_->prefetchText(value(later));
        }
    }

    void aheadOfPlaces(std::size_t k) const;
    void giveBack() {
        if (lender_ != nullptr) lender_->giveSpareBack(), lender_ = nullptr;
    }

    const Document* doc_ = nullptr;
    Document::Object dict_{};
    // A dictionary whose keys are in order and all different, as most
    // writers leave them, keeps no table: its entries are its own, each
    // rank read where it is needed.
    bool inOrder_ = false;
    bool holdsPlaces_ = false;  // entries_ hold their keys' places, not numbers
    std::vector<Entry, Unzeroed<Entry>> entries_, sorted_;  // sorted_: room to sort them through
    // The entries out of order: in entries_, or in the document's spare
    // memory, lent by it.
    const Entry* list_ = nullptr;
    std::size_t listed_ = 0;
    const Document* lender_ = nullptr;
    // Where sorted, each entry's place in the dictionary; and for a small
    // one, its keys in the dictionary's order.
    std::vector<std::uint32_t> places_, keysBefore_;
};

// One entries table per depth, so that recursion reuses them; a deque, so
// that growing it leaves the tables in use where they are.
class EntriesPool {
public:
    Entries& at(int depth) {
        if (static_cast<std::size_t>(depth) >= pool_.size()) pool_.resize(static_cast<std::size_t>(depth) + 1);
        return pool_[static_cast<std::size_t>(depth)];
    }

private:
    std::deque<Entries> pool_;
};

// The root's entries in the text's order with the document's edits in
// their places: `entry` for each entry kept, `edit` for each edit.
template <typename OnEntry, typename OnEdit>
void eachRootEntry(const Document& doc, const Entries& entries, OnEntry entry, OnEdit edit) {
    const std::vector<Document::Edit>& edits = doc.edits();
    std::size_t next = 0;
    entries.each([&](const Entry& e) {
        while (next < edits.size() &&
               (edits[next].position < e.rank || (edits[next].position == e.rank && !edits[next].replaces)))
            edit(edits[next++]);
        if (next < edits.size() && edits[next].position == e.rank && edits[next].replaces) edit(edits[next++]);
        else entry(e);
    });
    while (next < edits.size()) edit(edits[next++]);
}

// Roughly how many bytes a value's text takes at depth 0, shared parts
// repeated, and how many lines it has: one level deeper, each line gains a
// tab. So a container's extent is its children's, wherever it stands.
struct Extent {
    std::uint64_t bytes = 0, lines = 0;
    void add(const Extent& child);
};

class WriteCheck {
public:
    // `root`: the root's entries. `asInFile`: the root's entries are walked
    // in the order the document holds them, not in the order of their keys.
    // Whether the document is refused does not hang on that order, nor does
    // the size, but which refusal comes first does.
    WriteCheck(const Document& doc, const Entries& root, bool asInFile = false);
    // Refuses (WriteFailure) what cannot be written; otherwise returns
    // roughly how many bytes the text takes.
    std::uint64_t run();

private:
    int visit(std::uint32_t index, const Document::Object& o, int depth, std::uint64_t size, Extent& extent);
    int container(std::uint32_t index, const Document::Object& o, int depth, Extent& extent);
    Extent extentOf(std::uint32_t index, const Document::Object& o, int depth);
    std::uint64_t textSize(std::uint32_t index, const Document::Object& o);
    std::uint64_t longTextSize(std::uint32_t index, const Document::Object& o);
    bool firstSightOf(std::uint32_t index, std::uint64_t size);
    void countOccurrences();
    template <typename Each>
    void eachChild(std::uint32_t index, const Document::Object& o, int depth, Each each);

    const Document& doc_;
    const Entries& root_;
    std::vector<std::uint8_t> state_;
    // By container, zero to start with: memory of its own, touched only
    // where a container is walked (an empty one never is).
    std::unique_ptr<std::uint16_t[], Free> height_;
    std::vector<Extent> extent_;  // only where a container is held twice: its extent, by container
    std::vector<bool> seenText_;
    std::unordered_map<std::uint32_t, std::uint64_t> sizes_;  // of long strings that take decoding
    std::vector<std::uint32_t> order_;                        // only then too: containers in post-order
    bool shared_ = false;                                     // some container is reached a second time
    bool asInFile_;
    EntriesPool pool_;
    std::uint64_t held_ = 0;  // what the document holds, each shared object once
};

}  // namespace plist::detail
