// The XML writer: Foundation's layout byte for byte, except where Foundation
// would lose data (a CR, the sign of -0.0, a lone surrogate).
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

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
constexpr std::uint64_t kLineCost = 32;  // tags, indent and line end, roughly

struct Failure {
    const char* what;
};

[[noreturn]] void fail(const char* what) { throw Failure{what}; }

// Checks everything before a byte is written: what Foundation refuses to
// write, what would not read back equal, and how often each shared
// container would appear in the text.
class Validator {
public:
    // Returns roughly how many bytes the text will take.
    std::uint64_t run(const Dictionary& root) {
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
        std::uint64_t expanded = nodes_[&root].expanded;
        if (expanded > std::max(kExpansionFloor, kMaxExpansion * held_))
            fail("the text would be out of all proportion to the value");
        return expanded;
    }

private:
    struct Node {
        enum class State : std::uint8_t { Open, Done } state = State::Open;
        std::uint64_t occurrences = 0;
        int depth = 0;   // deepest position in the text
        int height = 0;  // levels below the container's own, its scalars included
        std::uint64_t expanded = 0;  // bytes of its text, roughly, shared parts repeated
        std::vector<std::pair<const void*, std::uint64_t>> children;  // container, times held
    };

    // How many levels the value's text reaches below its own: 0 for a scalar
    // or an empty container.
    int visit(const Value& v, int depth) {
        switch (v.type()) {
        case Type::Null: fail("null cannot be written");
        case Type::Set: fail("set cannot be written");
        case Type::String:
            if (firstSight(v) && unicode::hasLoneSurrogate(v.text())) fail("string holds a lone surrogate");
            return 0;
        case Type::Data: firstSight(v); return 0;
        case Type::Date:
            if (!std::isfinite(v.real()) || std::fabs(v.real()) > 6.7e16) fail("date out of range");
            return 0;
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
        std::uint64_t expanded = kLineCost;
        walk([&](const Value& child) {
            height = std::max(height, 1 + visit(child, depth + 1));
            held_ += kLineCost;
            if (child.is(Type::Array) || child.is(Type::Dictionary)) {
                if (!children.empty() && children.back().first == child.node())
                    ++children.back().second;
                else
                    children.emplace_back(child.node(), 1);
                // Held and still open would be a cycle, refused in visit().
                expanded = std::min(kSaturated, expanded + nodes_[child.node()].expanded);
            } else {
                expanded = std::min(kSaturated, expanded + kLineCost + textSize(child));
            }
        });
        Node& n = nodes_[node];
        n.expanded = expanded;
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
        if (size >= 64 && !seenText_.insert(v.node()).second) return false;
        held_ += size;
        return true;
    }

    int visitArray(const Array* items, int depth) {
        return container(items, depth, [&](auto&& each) {
            for (const Value& item : *items) each(item);
        });
    }

    int visitDictionary(const Dictionary* dict, int depth) {
        return container(dict, depth, [&](auto&& each) {
            for (const auto& entry : dict->entries) {
                if (!entry.first.is(Type::String)) fail("dictionary key is not a string");
                if (unicode::hasLoneSurrogate(entry.first.text())) fail("key holds a lone surrogate");
                each(entry.second);
            }
        });
    }

    std::unordered_map<const void*, Node> nodes_;
    std::vector<const void*> order_;
    std::unordered_set<const void*> seenText_;
    std::uint64_t held_ = 0;  // what the value holds, each shared object once
};

// Appends to one string grown by doubling, with none of std::string's
// per-call bookkeeping; the string is cut to what was written at the end.
class Buffer {
public:
    Buffer(std::string& s, std::size_t expected) : s_(s) { s_.resize(std::max<std::size_t>(expected, 4096)); }
    ~Buffer() { s_.resize(used_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    Buffer& operator+=(std::string_view v) {
        if (!v.empty()) std::memcpy(room(v.size()), v.data(), v.size());
        return *this;
    }
    Buffer& operator+=(const char* text) { return *this += std::string_view(text); }
    Buffer& operator+=(char c) {
        *room(1) = c;
        return *this;
    }
    void tabs(int n) { std::memset(room(static_cast<std::size_t>(n)), '\t', static_cast<std::size_t>(n)); }

private:
    char* room(std::size_t n) {
        if (used_ + n > s_.size()) s_.resize(std::max(s_.size() * 2, used_ + n));
        char* p = &s_[used_];
        used_ += n;
        return p;
    }
    std::string& s_;
    std::size_t used_ = 0;
};

class XmlWriter {
public:
    XmlWriter(std::string& out, std::size_t expected) : out_(out, expected) {}

    void document(const Dictionary& root) {
        out_ +=
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n";
        dictionary(root, 0);
        out_ += "</plist>\n";
    }

private:
    void indent(int depth) { out_.tabs(depth); }

    void line(int depth, const char* text) {
        indent(depth);
        out_ += text;
        out_ += '\n';
    }

    void escaped(const std::string& text) {
        std::size_t run = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char* entity;
            switch (text[i]) {
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            case '&': entity = "&amp;"; break;
            // Written raw, a CR would come back as LF from any standard XML reader.
            case '\r': entity = "&#13;"; break;
            default: continue;
            }
            out_ += std::string_view(text).substr(run, i - run);
            out_ += entity;
            run = i + 1;
        }
        out_ += std::string_view(text).substr(run);
    }

    void element(const char* tag, const std::string& text, int depth) {
        indent(depth);
        out_ += '<';
        out_ += tag;
        out_ += '>';
        escaped(text);
        out_ += "</";
        out_ += tag;
        out_ += ">\n";
    }

    void scalar(const char* tag, const char* text, int depth) {
        indent(depth);
        out_ += '<';
        out_ += tag;
        out_ += '>';
        out_ += text;
        out_ += "</";
        out_ += tag;
        out_ += ">\n";
    }

    void value(const Value& v, int depth) {
        char buf[128];
        switch (v.type()) {
        case Type::Boolean: line(depth, v.boolean() ? "<true/>" : "<false/>"); break;
        case Type::Integer: scalar("integer", integerText(v, buf + sizeof buf), depth); break;
        case Type::Real: scalar("real", realText(v.real(), buf, sizeof buf), depth); break;
        case Type::String: element("string", v.text(), depth); break;
        case Type::Date: scalar("date", dateText(v.real(), buf, sizeof buf), depth); break;
        case Type::Data: data(v.text(), depth); break;
        case Type::Uid:
            line(depth, "<dict>");
            line(depth + 1, "<key>CF$UID</key>");
            std::snprintf(buf, sizeof buf, "%" PRIu32, v.uid());
            scalar("integer", buf, depth + 1);
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
            element("key", entry->first.text(), depth + 1);
            value(entry->second, depth + 1);
        }
        line(depth, "</dict>");
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

    static const char* realText(double d, char* buf, std::size_t size) {
        if (std::isnan(d)) return "nan";
        if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
        if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";  // Foundation drops the sign of -0.0
        std::snprintf(buf, size, "%.17g", d);
        return buf;
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
        std::snprintf(buf, size, "%04" PRId64 "-%02d-%02dT%02d:%02d:%02dZ", year, static_cast<int>(month),
                      static_cast<int>(day), r / 3600, r / 60 % 60, r % 60);
        return buf;
    }

    void data(const std::string& bytes, int depth) {
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
};

}  // namespace

bool writeXml(const Dictionary& root, std::string& out, std::string* error) {
    try {
        std::uint64_t expected = Validator().run(root);
        std::string text;
        XmlWriter(text, static_cast<std::size_t>(expected + expected / 8)).document(root);
        out = std::move(text);
        return true;
    } catch (const Failure& f) {
        if (error) *error = f.what;
        return false;
    }
}

}  // namespace plist
