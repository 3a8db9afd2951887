// How the text readers make a document: each object is added once read,
// so a container is added after everything it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Document.h"

namespace plist {

// The items of the containers still open, in blocks of memory mapped
// apart from the heap: growing never copies them, and a block a closed
// container no longer needs goes back to the system at once, so that a
// large container's items and its references are not held in full at once.
class ItemStack {
public:
    ItemStack() = default;
    ItemStack(const ItemStack&) = delete;
    ItemStack& operator=(const ItemStack&) = delete;
    ~ItemStack() { release(0); }

    std::size_t size() const { return size_; }
    std::uint32_t& operator[](std::size_t k) { return blocks_[k >> kShift][k & kMask]; }
    void push_back(std::uint32_t item) {
        if ((size_ & kMask) == 0 && (size_ >> kShift) == blocks_.size()) map();
        (*this)[size_++] = item;
    }
    // Down to `n` items (never up). One block past them is kept, so that
    // a container that opens and closes across a block's end costs no
    // system call.
    void resize(std::size_t n) {
        size_ = n;
        release((n + kMask) / kBlock + 1);
    }
    void clear() { size_ = 0, release(0); }

    static constexpr std::size_t kShift = 16, kBlock = std::size_t{1} << kShift, kMask = kBlock - 1;

private:
    void map();
    void release(std::size_t keep);

    std::vector<std::uint32_t*> blocks_;
    std::size_t size_ = 0;
};

class DocumentBuilder {
public:
    // `source` is the text being read; a view is kept as a place in it.
    explicit DocumentBuilder(std::string_view source);

    std::uint32_t scalar(const Scalar& value);
    // A string: a view (a four-byte place) where the text is a piece of
    // the source's first 4 GiB longer than eight bytes and the objects are
    // not written over the source, else a copy, so that a short text is
    // read where its object is.
    std::uint32_t string(std::string_view text);
    // Data, a view or a copy likewise.
    std::uint32_t data(std::string_view bytes);
    // A dictionary key: equal keys are one object, as a binary file
    // shares them.
    std::uint32_t key(std::string_view text);
    // The keys of one open dictionary as they come. While each comes after
    // the one before it, byte by byte, no two of them are equal: past the
    // first kOrderedFrom keys, a key not guessed is made without a look-up
    // (a wide root's keys, each new, are then kept out of the key table).
    // Should one come out of order, those are looked up there and then.
    //
    // Out of order, once the last kOrderedFrom keys looked up were each new
    // (a wide root out of order), the rest are made without a look-up too,
    // unless guessed, and equal keys of the dictionary are told apart by
    // their texts' ranks once those are known (see dictionary()).
    struct KeyRun {
        explicit KeyRun(std::size_t at) : opened(at) {}
        std::size_t opened;  // where the dictionary's items start
        bool ordered = true;
        bool byRank = false;
        std::size_t newInARow = 0;  // of its keys looked up, the last ones new
        std::string last;  // the text of the last key, once compared
    };
    static constexpr std::size_t kOrderedFrom = 64;
    // A dictionary key, added to the open dictionary's items at once: its
    // object is found or made a few keys later (at the latest when a
    // dictionary is made, or at mark()), so that the key table is read
    // from memory meanwhile. A text in the source must stay there until then.
    void addKey(std::string_view text, KeyRun* run = nullptr);
    // A string object of its own with the text of a string made before.
    std::uint32_t copy(std::uint32_t index);

    // A container's items are added as they are read, after open(); a
    // dictionary's as key, value, key, value.
    std::size_t open() const { return items_.size(); }
    void add(std::uint32_t item) { items_.push_back(item); }
    std::uint32_t array(std::size_t opened);
    // Of equal keys the first keeps its place and the last its value, as a
    // text format's reader leaves them in Foundation. With `uids`, the one
    // entry {CF$UID = n}, n from 0 to 2^32 - 1, is the UID n (a keyed
    // archiver's, as XML writes it). `run`, where given: the run of its
    // keys, which may leave equal keys to be found once they are ranked.
    std::uint32_t dictionary(std::size_t opened, bool uids, const KeyRun* run = nullptr);

    // From here on, the objects are written over the source's text behind
    // `read`, the place in `text` (a view of the source, writable) up to
    // which it has been read: memory already touched, where no other
    // memory need be. Every text and data is then copied into its object,
    // none a view, and a key's text is kept until its object is made. The
    // reader may no longer look at what it has read.
    void writeBehind(char* text, const std::size_t& read);

    // Where the document stands, so that what a failed read added can be
    // taken away.
    struct Mark {
        std::size_t bytes, objects, items;
    };
    Mark mark();
    void rewind(const Mark& m);

    // The document, its root given; `source` holds the bytes that were read
    // (the views' text, wherever it now is). `wellFormed`: the reader let
    // no lone surrogate into any text.
    std::unique_ptr<Document> finish(std::uint32_t root, Bytes source, bool wellFormed);

    // A document of one empty dictionary.
    static std::unique_ptr<Document> emptyDictionary();

private:
    std::uint32_t place();  // a new object's number, where the objects end
    std::size_t count() const;
    char* grow(std::size_t n);  // n more bytes of objects, to be written
    char* room(std::size_t n);  // room for n more, where the objects end
    void resize(std::size_t capacity);  // of the objects' buffer
    std::uint32_t begin(unsigned char kind, std::uint64_t count, std::size_t body, char*& out);
    std::uint32_t bytesObject(unsigned char kind, std::string_view bytes);
    std::uint32_t viewOrCopy(unsigned char view, unsigned char kind, std::string_view bytes);
    bool inSource(std::string_view text) const;
    std::uint32_t hash(std::string_view text) const;
    std::uint32_t findKey(std::string_view text, std::uint32_t hash) const;  // keys_'s place, or npos
    std::uint32_t keyPlace(std::string_view text, std::uint32_t hash);  // in keys_, made if new
    void settleKeys();
    // A new key, entered in the key table where its hash is given.
    std::uint32_t newKey(std::string_view text, const std::uint32_t* hash);
    // Whether the key comes after the run's keys so far, so is to be made
    // without a look-up; the run's keys made so are looked up once one
    // does not.
    bool comesAfter(std::string_view text, KeyRun& run);
    // Of a dictionary whose equal keys may be apart, ranked: the first of
    // them keeps its place and the last its value, as dictionary() leaves
    // those it finds. `seen` and `first`: tables by rank, kept from one
    // dictionary to the next.
    void mergeEqualKeys(std::uint32_t dict, std::vector<std::uint64_t>& seen, std::vector<std::uint32_t>& first);
    void lookUp(const KeyRun& run);
    std::string_view keyText(std::uint32_t place) const;  // of keys_[place]
    void enter(std::uint32_t place, std::uint32_t hash, const char* at);  // at: how far the source is read, if known
    void insert(std::uint32_t place, std::uint32_t hash);
    // Of a slot of the key table: the key's place in keys_ plus one (0:
    // empty), and the bits of its hash beyond those of its home slot.
    std::uint32_t placeOf(std::uint32_t slot) const { return slot & static_cast<std::uint32_t>(keyTable_.size() - 1); }
    std::uint64_t tagOf(std::uint32_t bits) const { return std::uint64_t{bits} >> tableBits_; }

    std::unique_ptr<Document> doc_;
    std::size_t used_ = 0, capacity_ = 0;  // of doc_'s bytes
    // Where the objects start when they are written over the text (see
    // writeBehind), else null; the text and how far it has been read.
    char* inText_ = nullptr;
    const char* text_ = nullptr;
    const std::size_t* read_ = nullptr;
    std::string_view source_;
    ItemStack items_;
    // Every key made, for their ranks; a key's text is its object's. Of
    // them, how many were made for a dictionary of that one key alone.
    std::vector<std::uint32_t> keys_;
    std::size_t lonelyKeys_ = 0;
    // By key, whether it is in the key table: one made without a look-up
    // is not, though the table keeps room for its place.
    std::vector<bool> tabled_;
    // Open addressing over the keys made, at most three quarters full (a
    // root of many keys is most of the memory read), four bytes a slot:
    // 2^tableBits_ slots, each a key's place plus one in its low bits and
    // the rest of its hash above them. Keys are only ever taken away newest
    // first, which leaves every other key's probe as it was.
    std::vector<std::uint32_t> keyTable_;
    unsigned tableBits_ = 0;
    std::uint64_t seed_;
    // By key (the first kFollowedKeys), the key first added after it (or
    // after a key it stood in for); the place in that order keys are guessed
    // from; the last key added, npos while it waits.
    std::vector<std::uint32_t> next_;
    std::uint32_t cursor_ = Document::npos, lastAdded_ = Document::npos;
    std::uint32_t booleans_[2] = {Document::npos, Document::npos};  // false's object, true's
    // Keys added, and where in items_.
    struct PendingKey {
        std::string_view text;    // of a kept text, only its size holds
        std::size_t keptAt;       // where its text is kept in pendingTexts_, else npos
        std::uint32_t hash;
        std::uint32_t after;      // the key added before it, npos where that one waited too
        std::uint32_t displaced;  // the key guessed in its stead, or npos
        std::size_t item;
        KeyRun* run;    // its dictionary's, open until the key is settled
        bool unlooked;  // made without a look-up (see KeyRun)
    };
    std::vector<PendingKey> pending_;
    std::string pendingTexts_;
    // Dictionaries whose equal keys are found once they are ranked.
    std::vector<std::uint32_t> byRank_;
    // A large dictionary's entries, while they are settled.
    std::vector<std::uint32_t> seen_;
    std::vector<bool> dropped_;
};

}  // namespace plist
