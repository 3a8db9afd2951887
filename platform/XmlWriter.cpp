// The XML writer: Foundation's layout byte for byte, except where Foundation
// would lose data (a CR, the sign of -0.0, a lone surrogate).
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "BinaryDocument.h"
#include "PropertyList.h"
#include "Unicode.h"

namespace plist {

namespace {

constexpr std::int64_t kDaysTo2001 = 11323;  // 1970-01-01 to 2001-01-01
constexpr int kMaxDataIndent = 8;            // base64 lines stop indenting here

// Shared strings and data expand linearly rather than exponentially, so the
// 1536-reference rule does not bound them: a file of a few kilobytes could
// still hold one long string referenced thousands of times. The text may
// grow to this many times what the value holds, or to the floor below,
// whichever is more.
constexpr std::uint64_t kMaxExpansion = 64;
constexpr std::uint64_t kExpansionFloor = std::uint64_t{16} << 20;
constexpr std::uint64_t kSaturated = std::uint64_t{1} << 62;
constexpr std::uint64_t kLineCost = 32;  // tags and line end, roughly; the indent apart
// What the value holds for each reference to a child, about what a file
// spends on one. Lines deep down cost far more: a few hundred levels of
// indent on each of many small values is out of proportion too.
constexpr std::uint64_t kHeldPerReference = 8;

std::uint64_t saturated(std::uint64_t n) { return std::min(kSaturated, n); }

// Roughly how many bytes a value's text takes at depth 0, shared parts
// repeated, and how many lines it has: one level deeper, each line gains a
// tab. So a container's extent is its children's, wherever it stands.
struct Extent {
    std::uint64_t bytes = 0, lines = 0;

    static Extent container() { return Extent{kLineCost, 2}; }
    // A scalar, string or data holding `size` bytes of text (see textSize).
    static Extent leaf(Type type, std::uint64_t size) {
        if (type == Type::Uid) return Extent{4 * kLineCost, 4};  // a dictionary of one integer
        return Extent{kLineCost + size, type == Type::Data ? 2u : 1u};
    }
    // Adds a child's text, one level deeper.
    void add(const Extent& child) {
        bytes = saturated(bytes + child.bytes + child.lines);
        lines = saturated(lines + child.lines);
    }
};

using detail::BinaryDocument;

struct Failure {
    const char* what;
};

[[noreturn]] void fail(const char* what) { throw Failure{what}; }

// Dates beyond this many seconds from 2001 have no year the text can hold.
void checkDate(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > 6.7e16) fail("date out of range");
}

// Thrown when a deferred container turns up anywhere but directly in the
// root: the check then starts again on the document as readBinary() builds it.
struct NeedsMaterialized {
    const detail::Deferred* deferred;
};

// A dictionary of a document as the writer sees it: string keys only, the
// first of equal keys kept, in the order the text lists them.
struct Entry {
    std::uint32_t rank, at, value, key;
};

class Entries {
public:
    // Fails on a key that is not a string; with `checkKeys`, also on one
    // that holds a lone surrogate.
    const std::vector<Entry>& of(const BinaryDocument& doc, const BinaryDocument::Object& dict, bool checkKeys) {
        entries_.clear();
        for (std::uint64_t k = 0; k < dict.count; ++k) {
            std::uint32_t rank = doc.keyRank(doc.ref(dict.pos, k));
            if (rank == BinaryDocument::npos) fail("dictionary key is not a string");
            entries_.push_back(
                Entry{rank, static_cast<std::uint32_t>(k), doc.ref(dict.pos, dict.count + k), doc.ref(dict.pos, k)});
        }
        // Equal keys have equal ranks; the first of them stays first.
        std::sort(entries_.begin(), entries_.end(),
                  [](const Entry& a, const Entry& b) { return a.rank < b.rank || (a.rank == b.rank && a.at < b.at); });
        entries_.erase(std::unique(entries_.begin(), entries_.end(),
                                   [](const Entry& a, const Entry& b) { return a.rank == b.rank; }),
                       entries_.end());
        if (checkKeys)
            for (const Entry& e : entries_)
                if (doc.keyHasLoneSurrogate(e.rank)) fail("key holds a lone surrogate");
        return entries_;
    }

private:
    std::vector<Entry> entries_;
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

// What the validator below does for materialised containers, done for the
// containers of one binary document, with flat tables indexed by container
// number instead of a node per container.
class DocumentCheck {
public:
    DocumentCheck(BinaryDocument& doc, std::uint64_t& held)
        : doc_(doc),
          state_(doc.containerCount(), kUnvisited),
          height_(doc.containerCount(), 0),
          extent_(doc.containerCount()),
          seenText_(doc.objectCount(), false),
          held_(held) {}

    BinaryDocument& document() const { return doc_; }

    // How many levels the object's text reaches below its own.
    int visit(std::uint32_t index, int depth) {
        BinaryDocument::Object o = doc_.object(index);
        return visit(index, o, depth, textSize(index, o));
    }

    // The object's extent, as the validator reckons it.
    Extent extent(std::uint32_t index) {
        BinaryDocument::Object o = doc_.object(index);
        return extent(index, o, textSize(index, o));
    }

    // Whether a long string or data object was counted already; the root's
    // own strings share this record with the document's.
    bool firstSightOf(std::uint32_t index, std::uint64_t size) {
        if (size >= 64) {
            if (seenText_[index]) return false;
            seenText_[index] = true;
        }
        held_ += size;
        return true;
    }

    // The root holds the object once more (after visiting it: a container
    // held twice is then seen as shared).
    void addRoot(std::uint32_t index) {
        if (doc_.containerNumber(index) != BinaryDocument::npos) roots_.push_back(index);
    }

    // Once every root is added: each container's occurrences, from the root down.
    void countOccurrences() {
        // Where no container is held twice, each occurs once.
        if (!shared_) return;
        std::vector<std::uint16_t> occurrences(doc_.containerCount(), 0);
        auto add = [&](std::uint32_t index, std::uint64_t times) {
            std::uint32_t c = doc_.containerNumber(index);
            if (c == BinaryDocument::npos) return;
            std::uint64_t n = std::min<std::uint64_t>(occurrences[c] + times, kMaxReferences + 1);
            if (n > kMaxReferences) fail("a container would appear more than 1536 times");
            occurrences[c] = static_cast<std::uint16_t>(n);
        };
        for (std::uint32_t r : roots_) add(r, 1);
        // Reverse post-order puts every container before the ones it holds.
        for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
            std::uint64_t times = occurrences[doc_.containerNumber(*it)];
            eachChild(doc_.object(*it), 0, [&](std::uint32_t child, std::uint32_t) { add(child, times); });
        }
    }

private:
    static constexpr std::uint8_t kUnvisited = 0, kOpen = 1, kDone = 2;

    int visit(std::uint32_t index, const BinaryDocument::Object& o, int depth, std::uint64_t size) {
        switch (o.kind()) {
        case 0x00:
            if (o.marker == 0x00) fail("null cannot be written");
            return 0;
        case 0x30: checkDate(doc_.scalar(o).real()); return 0;
        case 0x40: firstSightOf(index, size); return 0;
        case 0x50:
        case 0x60:
            if (firstSightOf(index, size) && doc_.hasLoneSurrogate(o)) fail("string holds a lone surrogate");
            return 0;
        case 0x80: return 1;
        case 0xA0:
        case 0xD0: return container(index, o, depth);
        case 0xC0: fail("set cannot be written");
        default: return 0;
        }
    }

    Extent extent(std::uint32_t index, const BinaryDocument::Object& o, std::uint64_t size) const {
        std::uint32_t c = doc_.containerNumber(index);
        if (c != BinaryDocument::npos) return extent_[c];
        unsigned char kind = o.kind();
        return Extent::leaf(kind == 0x80 ? Type::Uid : kind == 0x40 ? Type::Data : Type::String, size);
    }

    // Each child with its key (npos in an array).
    template <typename Each>
    void eachChild(const BinaryDocument::Object& o, int depth, Each each) {
        if (o.kind() == 0xD0) {
            for (const Entry& e : pool_.at(depth).of(doc_, o, true)) each(e.value, e.key);
        } else {
            for (std::uint64_t k = 0; k < o.count; ++k) each(doc_.ref(o.pos, k), BinaryDocument::npos);
        }
    }

    int container(std::uint32_t index, const BinaryDocument::Object& o, int depth) {
        if (depth > kMaxDepth) fail("nested too deep");
        std::uint32_t c = doc_.containerNumber(index);
        if (state_[c] == kOpen) fail("reference cycle");
        if (state_[c] == kDone) {
            shared_ = true;
            return height_[c];
        }
        state_[c] = kOpen;
        int height = 0;
        Extent extent = Extent::container();
        eachChild(o, depth, [&](std::uint32_t child, std::uint32_t key) {
            BinaryDocument::Object co = doc_.object(child);
            std::uint64_t size = textSize(child, co);
            height = std::max(height, 1 + visit(child, co, depth + 1, size));
            held_ += kHeldPerReference;
            if (key != BinaryDocument::npos) {
                std::uint64_t keySize = textSize(key, doc_.object(key));
                firstSightOf(key, keySize);
                extent.add(Extent::leaf(Type::String, keySize));
            }
            extent.add(this->extent(child, co, size));
        });
        if (depth + height > kMaxDepth) fail("nested too deep");
        state_[c] = kDone;
        height_[c] = static_cast<std::uint16_t>(height);
        extent_[c] = extent;
        order_.push_back(index);
        return height;
    }

    // As the validator's textSize(). Worked out once for a long string: a
    // file may refer to one from everywhere.
    std::uint64_t textSize(std::uint32_t index, const BinaryDocument::Object& o) {
        constexpr std::uint64_t kLongText = 64;  // characters
        unsigned char kind = o.kind();
        if (kind == 0x40) return doc_.textSize(o) * 2;
        if (kind != 0x50 && kind != 0x60) return 0;
        if (o.count < kLongText) return doc_.textSize(o);
        auto found = sizes_.try_emplace(index, 0);
        if (found.second) found.first->second = doc_.textSize(o);
        return found.first->second;
    }

    BinaryDocument& doc_;
    std::vector<std::uint8_t> state_;
    std::vector<std::uint16_t> height_;
    std::vector<Extent> extent_;
    std::vector<bool> seenText_;
    std::unordered_map<std::uint32_t, std::uint64_t> sizes_;  // of long strings
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> roots_;
    bool shared_ = false;  // some container is reached a second time
    EntriesPool pool_;
    std::uint64_t& held_;
};

// Checks what Foundation refuses to write, what would not read back equal,
// and how often each shared container would appear in the text: all of it
// before a byte is written, but for a binary document's containers, which
// finish() may check while the text is being written.
class Validator {
public:
    // Checks everything but the deferred containers of the root, which
    // finish() checks from their document's bytes.
    void prepare(const Dictionary& root) {
        // The root's deferred containers are checked from their bytes, if
        // they all come from one document that nothing has looked into.
        for (const auto& entry : root.entries) {
            const detail::Deferred* d = entry.second.deferred();
            if (!d || d->document->isMaterialized()) continue;
            if (!doc_) doc_ = std::make_unique<DocumentCheck>(*d->document, held_);
            else if (&doc_->document() != d->document.get()) throw NeedsMaterialized{d};
        }
        visitDictionary(&root, 0);
        // Reverse post-order puts every container before the ones it holds,
        // so occurrences and depths flow from the root down in one pass.
        std::reverse(order_.begin(), order_.end());
        nodes_[&root].occurrences = 1;
        for (const void* node : order_) {
            Node& parent = nodes_[node];
            for (const auto& child : parent.children) {
                Node& c = nodes_[child.first];
                std::uint64_t add = parent.occurrences * child.second;
                c.occurrences = std::min<std::uint64_t>(c.occurrences + add, kMaxReferences + 1);
                if (c.occurrences > kMaxReferences) fail("a container would appear more than 1536 times");
                c.depth = std::max(c.depth, parent.depth + 1);
                if (c.depth + c.height > kMaxDepth) fail("nested too deep");
            }
        }
        rootHeight_ = nodes_[&root].height;
        extent_ = nodes_[&root].extent;
        if (pending_.empty()) finish();
    }

    bool finished() const { return finished_; }
    // The bytes of the document whose containers finish() checks.
    std::size_t documentSize() const { return doc_ ? doc_->document().size() : 0; }

    // The deferred containers, then what depends on the whole. Returns
    // roughly how many bytes the text will take.
    std::uint64_t finish() {
        if (!finished_) {
            for (std::uint32_t index : pending_) {
                rootHeight_ = std::max(rootHeight_, 1 + doc_->visit(index, 1));
                extent_.add(doc_->extent(index));
                doc_->addRoot(index);
            }
            if (doc_) doc_->countOccurrences();
            if (rootHeight_ > kMaxDepth) fail("nested too deep");
            if (extent_.bytes > std::max(kExpansionFloor, kMaxExpansion * held_))
                fail("the text would be out of all proportion to the value");
            finished_ = true;
        }
        return extent_.bytes;
    }

private:
    struct Node {
        enum class State : std::uint8_t { Open, Done } state = State::Open;
        std::uint64_t occurrences = 0;
        int depth = 0;   // deepest position in the text
        int height = 0;  // levels below the container's own, its scalars included
        Extent extent;
        std::vector<std::pair<const void*, std::uint64_t>> children;  // container, times held
    };

    // How many levels the value's text reaches below its own: 0 for a scalar
    // or an empty container.
    int visit(const Value& v, int depth) {
        if (const detail::Deferred* d = v.deferred(); d && !d->document->isMaterialized()) {
            // In the root, prepare() has seen to it that doc_ is its document.
            if (depth != 1) throw NeedsMaterialized{d};
            pending_.push_back(d->index);  // for finish()
            return 0;
        }
        switch (v.type()) {
        case Type::Null: fail("null cannot be written");
        case Type::Set: fail("set cannot be written");
        case Type::String:
            if (firstSight(v) && unicode::hasLoneSurrogate(v.text())) fail("string holds a lone surrogate");
            return 0;
        case Type::Data: firstSight(v); return 0;
        case Type::Date: checkDate(v.real()); return 0;
        case Type::Uid: return 1;  // written as a dictionary holding one integer
        case Type::Array: return visitArray(&v.items(), depth);
        case Type::Dictionary: return visitDictionary(&v.dict(), depth);
        default: return 0;
        }
    }

    // Common to both containers: cycle check, memo, and the depth bound that
    // also bounds this recursion.
    template <typename Walk>
    int container(const void* node, int depth, Walk walk) {
        if (depth > kMaxDepth) fail("nested too deep");
        auto found = nodes_.find(node);
        if (found != nodes_.end()) {
            if (found->second.state == Node::State::Open) fail("reference cycle");
            return found->second.height;
        }
        nodes_.emplace(node, Node());
        std::vector<std::pair<const void*, std::uint64_t>> children;
        int height = 0;
        Extent extent = Extent::container();
        walk([&](const Value& child, const Value* key) {
            height = std::max(height, 1 + visit(child, depth + 1));
            held_ += kHeldPerReference;
            if (key) {
                firstSight(*key);
                extent.add(Extent::leaf(Type::String, textSize(*key)));
            }
            if (const detail::Deferred* d = child.deferred(); d && !d->document->isMaterialized()) {
                // Counted by finish().
            } else if (child.is(Type::Array) || child.is(Type::Dictionary)) {
                if (!children.empty() && children.back().first == child.node())
                    ++children.back().second;
                else
                    children.emplace_back(child.node(), 1);
                // Held and still open would be a cycle, refused in visit().
                extent.add(nodes_[child.node()].extent);
            } else {
                extent.add(Extent::leaf(child.type(), textSize(child)));
            }
        });
        Node& n = nodes_[node];
        n.extent = extent;
        n.state = Node::State::Done;
        n.height = height;
        n.children = std::move(children);
        order_.push_back(node);
        if (depth + height > kMaxDepth) fail("nested too deep");
        return height;
    }

    static std::uint64_t textSize(const Value& v) {
        if (!v.is(Type::String) && !v.is(Type::Data)) return 0;
        return v.text().size() * (v.is(Type::Data) ? 2 : 1);
    }

    // True the first time a string or data object is met. Long ones are
    // checked and counted towards what the value holds once, however often
    // they are referenced; short ones each time, which keeps the
    // bookkeeping small and cannot hide a real blow-up.
    bool firstSight(const Value& v) {
        std::uint64_t size = textSize(v);
        if (doc_) {
            std::uint32_t index = doc_->document().objectOfRootNode(v.node());
            if (index != BinaryDocument::npos) return doc_->firstSightOf(index, size);
        }
        if (size >= 64 && !seenText_.insert(v.node()).second) return false;
        held_ += size;
        return true;
    }

    int visitArray(const Array* items, int depth) {
        return container(items, depth, [&](auto&& each) {
            for (const Value& item : *items) each(item, nullptr);
        });
    }

    int visitDictionary(const Dictionary* dict, int depth) {
        return container(dict, depth, [&](auto&& each) {
            for (const auto& entry : dict->entries) {
                if (!entry.first.is(Type::String)) fail("dictionary key is not a string");
                if (unicode::hasLoneSurrogate(entry.first.text())) fail("key holds a lone surrogate");
                each(entry.second, &entry.first);
            }
        });
    }

    std::unordered_map<const void*, Node> nodes_;
    std::vector<const void*> order_;
    std::unordered_set<const void*> seenText_;
    std::uint64_t held_ = 0;  // what the value holds, each shared object once
    std::unique_ptr<DocumentCheck> doc_;
    std::vector<std::uint32_t> pending_;  // the root's deferred containers, in order
    int rootHeight_ = 0;
    Extent extent_;  // the root's
    bool finished_ = false;
};

// Fills one fixed buffer and hands it to the sink whenever it is full, so
// that the text never needs to be held whole; text longer than the buffer
// goes to the sink directly.
struct SinkFailure {};

class Buffer {
public:
    static constexpr std::size_t kSize = std::size_t{1} << 18;

    // Stops the writing (as a failing sink does) once `stop` is set.
    Buffer(const XmlSink& sink, const std::atomic<bool>* stop) : sink_(sink), stop_(stop), buf_(new char[kSize]) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    Buffer& operator+=(std::string_view v) {
        if (v.size() > kSize - used_) {
            flush();
            if (v.size() >= kSize) {
                if ((stop_ && stop_->load(std::memory_order_relaxed)) || !sink_(v)) throw SinkFailure{};
                return *this;
            }
        }
        if (!v.empty()) std::memcpy(buf_.get() + used_, v.data(), v.size());
        used_ += v.size();
        return *this;
    }
    Buffer& operator+=(const char* text) { return *this += std::string_view(text); }
    Buffer& operator+=(char c) {
        if (used_ == kSize) flush();
        buf_[used_++] = c;
        return *this;
    }
    void tabs(int n) {
        static const std::string many(kMaxDepth + 2, '\t');
        *this += std::string_view(many).substr(0, static_cast<std::size_t>(n));
    }

    void flush() {
        if (stop_ && stop_->load(std::memory_order_relaxed)) throw SinkFailure{};
        if (used_ != 0 && !sink_(std::string_view(buf_.get(), used_))) throw SinkFailure{};
        used_ = 0;
    }

private:
    const XmlSink& sink_;
    const std::atomic<bool>* stop_;
    std::unique_ptr<char[]> buf_;
    std::size_t used_ = 0;
};

// The characters the text escapes: < > & and CR.
constexpr bool kSpecial[63] = {false, false, false, false, false, false, false, false, false, false, false, false,
                               false, true,  false, false, false, false, false, false, false, false, false, false,
                               false, false, false, false, false, false, false, false, false, false, false, false,
                               false, false, true,  false, false, false, false, false, false, false, false, false,
                               false, false, false, false, false, false, false, false, false, false, false, false,
                               true,  false, true};

// The text of reals, remembered by their bits: a binary file holds each
// distinct real once and refers to it from everywhere, and "%.17g" is dear.
class RealTexts {
public:
    std::string_view text(double d) {
        std::uint64_t bits;
        std::memcpy(&bits, &d, 8);
        Slot& slot = slots_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
        if (slot.length == 0 || slot.bits != bits) {
            char buf[64];
            const char* t = realText(d, buf, sizeof buf);
            std::size_t n = std::strlen(t);
            if (n >= sizeof slot.text) return cold_ = t;
            std::memcpy(slot.text, t, n);
            slot.length = static_cast<unsigned char>(n);
            slot.bits = bits;
        }
        return std::string_view(slot.text, slot.length);
    }

    static const char* realText(double d, char* buf, std::size_t size) {
        if (std::isnan(d)) return "nan";
        if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
        if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";  // Foundation drops the sign of -0.0
        std::snprintf(buf, size, "%.17g", d);
        return buf;
    }

private:
    static constexpr int kBits = 10;
    struct Slot {
        std::uint64_t bits = 0;
        unsigned char length = 0;
        char text[31];
    };
    std::unique_ptr<Slot[]> slots_{new Slot[std::size_t{1} << kBits]};
    std::string cold_;
};

class XmlWriter {
public:
    XmlWriter(const XmlSink& sink, const std::atomic<bool>* stop) : out_(sink, stop) {}

    void document(const Dictionary& root) {
        out_ +=
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n";
        dictionary(root, 0);
        out_ += "</plist>\n";
        out_.flush();
    }

private:
    void indent(int depth) { out_.tabs(depth); }

    void line(int depth, std::string_view text) {
        indent(depth);
        out_ += text;
        out_ += '\n';
    }

    void escaped(std::string_view text) {
        std::size_t run = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if (c > '>' || !kSpecial[c]) continue;
            std::string_view entity;
            switch (c) {
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            case '&': entity = "&amp;"; break;
            // Written raw, a CR would come back as LF from any standard XML reader.
            default: entity = "&#13;"; break;
            }
            out_ += text.substr(run, i - run);
            out_ += entity;
            run = i + 1;
        }
        out_ += text.substr(run);
    }

    struct Tag {
        std::string_view open, close;
    };
    static constexpr Tag kKey{"<key>", "</key>\n"}, kString{"<string>", "</string>\n"},
        kInteger{"<integer>", "</integer>\n"}, kReal{"<real>", "</real>\n"}, kDate{"<date>", "</date>\n"};

    void element(const Tag& tag, std::string_view text, int depth) {
        indent(depth);
        out_ += tag.open;
        escaped(text);
        out_ += tag.close;
    }

    void scalar(const Tag& tag, std::string_view text, int depth) {
        indent(depth);
        out_ += tag.open;
        out_ += text;
        out_ += tag.close;
    }

    void value(const Value& v, int depth) {
        if (const detail::Deferred* d = v.deferred(); d && !d->document->isMaterialized()) {
            object(*d->document, d->index, depth);
            return;
        }
        char buf[128];
        switch (v.type()) {
        case Type::Boolean: line(depth, v.boolean() ? "<true/>" : "<false/>"); break;
        case Type::Integer: scalar(kInteger, integerText(v, buf + sizeof buf), depth); break;
        case Type::Real: scalar(kReal, reals_.text(v.real()), depth); break;
        case Type::String: element(kString, v.text(), depth); break;
        case Type::Date:
            checkDate(v.real());
            scalar(kDate, dateText(v.real(), buf, sizeof buf), depth);
            break;
        case Type::Data: data(v.text(), depth); break;
        case Type::Uid:
            line(depth, "<dict>");
            line(depth + 1, "<key>CF$UID</key>");
            std::snprintf(buf, sizeof buf, "%" PRIu32, v.uid());
            scalar(kInteger, buf, depth + 1);
            line(depth, "</dict>");
            break;
        case Type::Array:
            if (v.items().empty()) {
                line(depth, "<array/>");
                break;
            }
            line(depth, "<array>");
            for (const Value& item : v.items()) value(item, depth + 1);
            line(depth, "</array>");
            break;
        case Type::Dictionary: dictionary(v.dict(), depth); break;
        case Type::Null:
        case Type::Set: fail("cannot be written");  // the validator has refused these already
        }
    }

    void dictionary(const Dictionary& dict, int depth) {
        if (dict.entries.empty()) {
            line(depth, "<dict/>");
            return;
        }
        std::vector<const std::pair<Value, Value>*> sorted;
        sorted.reserve(dict.size());
        for (const auto& entry : dict.entries) sorted.push_back(&entry);
        std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) {
            return unicode::lessUtf16(a->first.text(), b->first.text());
        });
        line(depth, "<dict>");
        for (const auto* entry : sorted) {
            element(kKey, entry->first.text(), depth + 1);
            value(entry->second, depth + 1);
        }
        line(depth, "</dict>");
    }

    // An object of a checked document, straight from its bytes.
    //
    // The check of the document may still be at work: what it would refuse
    // and could do harm here (a nesting without end, a date out of range)
    // is refused here too.
    void object(const BinaryDocument& doc, std::uint32_t index, int depth) {
        if (depth > kMaxDepth) fail("nested too deep");
        BinaryDocument::Object o = doc.object(index);
        switch (o.kind()) {
        case 0x40: data(std::string_view(reinterpret_cast<const char*>(doc.bytes() + o.pos), o.count), depth); return;
        case 0x50:
        case 0x60: element(kString, doc.text(o, scratch_), depth); return;
        case 0xA0:
            if (o.count == 0) {
                line(depth, "<array/>");
                return;
            }
            line(depth, "<array>");
            for (std::uint64_t k = 0; k < o.count; ++k) object(doc, doc.ref(o.pos, k), depth + 1);
            line(depth, "</array>");
            return;
        case 0xD0: {
            const std::vector<Entry>& sorted = pool_.at(depth).of(doc, o, false);
            if (sorted.empty()) {
                line(depth, "<dict/>");
                return;
            }
            line(depth, "<dict>");
            for (const Entry& e : sorted) {
                element(kKey, doc.keyText(e.rank), depth + 1);
                object(doc, e.value, depth + 1);
            }
            line(depth, "</dict>");
            return;
        }
        default: value(doc.scalar(o), depth); return;
        }
    }

    // Decimal digits written backwards from `end`.
    static const char* integerText(const Value& v, char* end) {
        char* p = end;
        *--p = '\0';
        bool negative = !v.isUnsigned() && v.integer() < 0;
        std::uint64_t u = negative ? 0 - v.bits() : v.bits();
        do {
            *--p = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        if (negative) *--p = '-';
        return p;
    }

    static const char* dateText(double seconds, char* buf, std::size_t size) {
        std::int64_t s = static_cast<std::int64_t>(std::floor(seconds));
        std::int64_t days = (s >= 0 ? s / 86400 : (s - 86399) / 86400);
        std::int64_t rest = s - days * 86400;
        days += kDaysTo2001;
        // Civil date from days since 1970-01-01, proleptic Gregorian.
        std::int64_t z = days + 719468;
        std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
        std::int64_t doe = z - era * 146097;
        std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
        std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
        std::int64_t mp = (5 * doy + 2) / 153;
        std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
        std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
        std::int64_t year = yoe + era * 400 + (month <= 2);
        int r = static_cast<int>(rest);
        if (year >= 0 && year <= 9999) {
            // The common case, without the cost of a formatted print.
            auto two = [](char* p, int v) {
                p[0] = static_cast<char>('0' + v / 10);
                p[1] = static_cast<char>('0' + v % 10);
            };
            int y = static_cast<int>(year);
            two(buf, y / 100);
            two(buf + 2, y % 100);
            buf[4] = '-';
            two(buf + 5, static_cast<int>(month));
            buf[7] = '-';
            two(buf + 8, static_cast<int>(day));
            buf[10] = 'T';
            two(buf + 11, r / 3600);
            buf[13] = ':';
            two(buf + 14, r / 60 % 60);
            buf[16] = ':';
            two(buf + 17, r % 60);
            buf[19] = 'Z';
            buf[20] = '\0';
            return buf;
        }
        std::snprintf(buf, size, "%04" PRId64 "-%02d-%02dT%02d:%02d:%02dZ", year, static_cast<int>(month),
                      static_cast<int>(day), r / 3600, r / 60 % 60, r % 60);
        return buf;
    }

    void data(std::string_view bytes, int depth) {
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        line(depth, "<data>");
        int lineIndent = std::min(depth, kMaxDataIndent);
        std::size_t perLine = static_cast<std::size_t>(76 - 8 * lineIndent);
        std::size_t column = 0;
        auto put = [&](char c) {
            if (column == 0) indent(lineIndent);
            out_ += c;
            if (++column == perLine) {
                out_ += '\n';
                column = 0;
            }
        };
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        std::size_t n = bytes.size(), i = 0;
        for (; i + 3 <= n; i += 3) {
            std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
            put(alphabet[v >> 18]);
            put(alphabet[(v >> 12) & 63]);
            put(alphabet[(v >> 6) & 63]);
            put(alphabet[v & 63]);
        }
        if (n - i == 1) {
            std::uint32_t v = std::uint32_t{p[i]} << 16;
            put(alphabet[v >> 18]);
            put(alphabet[(v >> 12) & 63]);
            put('=');
            put('=');
        } else if (n - i == 2) {
            std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8);
            put(alphabet[v >> 18]);
            put(alphabet[(v >> 12) & 63]);
            put(alphabet[(v >> 6) & 63]);
            put('=');
        }
        if (column != 0) out_ += '\n';
        line(depth, "</data>");
    }

    Buffer out_;
    RealTexts reals_;
    EntriesPool pool_;
    std::string scratch_;
};

}  // namespace

// From this size, a document is checked alongside the writing.
constexpr std::size_t kCheckAlongsideFrom = std::size_t{256} << 10;

// The check, prepared at once and finished when asked or alongside the
// writing. A deferred container met anywhere but in the root makes it
// start again on the built values.
struct XmlText::Check {
    std::unique_ptr<Validator> validator;
};

XmlText::XmlText(const Dictionary& root) : root_(root), check_(new Check) {
    try {
        while (true) {
            try {
                check_->validator = std::make_unique<Validator>();
                check_->validator->prepare(root);
                break;
            } catch (const NeedsMaterialized& n) {
                n.deferred->resolve();
            }
        }
        ok_ = true;
    } catch (const Failure& f) {
        error_ = f.what;
    }
}

XmlText::~XmlText() = default;

bool XmlText::check() {
    if (!ok_) return false;
    try {
        expected_ = check_->validator->finish();
    } catch (const Failure& f) {
        ok_ = false;
        error_ = f.what;
    }
    return ok_;
}

bool XmlText::writeText(const XmlSink& sink, const std::atomic<bool>* stop) const {
    try {
        XmlWriter(sink, stop).document(root_);
        return true;
    } catch (...) {
        // The sink stopped, the check failed alongside, a refusal, or no
        // memory: no text, and nothing may escape while the check's thread
        // is still to be joined.
        return false;
    }
}

bool XmlText::write(const XmlSink& sink) {
    if (!ok_) return false;
    if (check_->validator->finished()) return writeText(sink, nullptr);
    // A small document is checked first: a thread would cost more than it saves.
    if (check_->validator->documentSize() < kCheckAlongsideFrom) return check() && writeText(sink, nullptr);
    // The rest of the check takes one core and the writing the other; the
    // writing stops as soon as the check fails, and the text it gave the
    // sink is then to be thrown away.
    std::atomic<bool> failed{false};
    std::thread checker;
    try {
        checker = std::thread([this, &failed] {
            try {
                check();
            } catch (...) {  // out of memory
                ok_ = false;
                error_ = "the check could not be finished";
            }
            if (!ok_) failed = true;
        });
    } catch (const std::system_error&) {
        return check() && writeText(sink, nullptr);
    }
    bool written = writeText(sink, &failed);
    checker.join();
    return ok_ && written;
}

bool writeXml(const Dictionary& root, std::string& out, std::string* error) {
    XmlText text(root);
    if (!text.check()) {
        if (error) *error = text.error();
        return false;
    }
    std::string result;
    result.reserve(static_cast<std::size_t>(text.expectedSize() + text.expectedSize() / 8));
    text.write([&](std::string_view piece) {
        result += piece;
        return true;
    });
    out = std::move(result);
    return true;
}

}  // namespace plist
