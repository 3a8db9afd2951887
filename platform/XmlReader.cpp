// The XML format, read the way CoreFoundation's hand-written scanner reads
// it. This is deliberately not an XML 1.0 parser: it accepts what Foundation
// accepts (attributes unchecked, text after the root ignored) and refuses
// what Foundation refuses (inline DTDs, unknown entities, unknown tags).
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "DocumentBuilder.h"
#include "PropertyList.h"
#include "ReaderFailure.h"
#include "ScalarText.h"
#include "TextEncoding.h"
#include "Unicode.h"

namespace plist {

namespace {

using detail::fail;

bool isSpace(char c) {
    constexpr std::uint64_t kSpaces = 1ull << ' ' | 1ull << '\t' | 1ull << '\n' | 1ull << '\r';
    auto u = static_cast<unsigned char>(c);
    return u <= ' ' && (kSpaces >> u & 1);
}
bool isCSpace(char c) { return isSpace(c) || c == '\v' || c == '\f'; }

// The white space allowed before an integer's digits and after its sign.
bool isIntegerSpace(std::uint32_t cp) {
    return cp < 0x21 || (cp >= 0x7F && cp <= 0xA0) || (cp >= 0x2000 && cp <= 0x200B) || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// Foundation looks at an integer's white space a byte at a time: any byte
// below 0x21 or from 0x7F to 0xA0 is one, and so is the first byte of
// U+2000..U+200B, U+202F, U+205F and U+3000 (the bytes after it then pass
// as the 0x80..0xA0 they are, or not).
bool isIntegerSpaceByte(std::string_view t, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(t[k]); };
    unsigned char b = byte(i);
    if (b < 0x21 || (b > 0x7E && b < 0xA1)) return true;
    if ((b != 0xE2 && b != 0xE3) || t.size() - i < 3) return false;
    if (b == 0xE2 && byte(i + 1) == 0x80) return (byte(i + 2) >= 0x80 && byte(i + 2) <= 0x8B) || byte(i + 2) == 0xAF;
    if (b == 0xE2 && byte(i + 1) == 0x81) return byte(i + 2) == 0x9F;
    return b == 0xE3 && byte(i + 1) == 0x80 && byte(i + 2) == 0x80;
}

// The white space Foundation skips before a real's digits, as characters.
bool isRealSpace(std::uint32_t cp) {
    return cp < 0x21 || (cp > 0x7E && cp < 0xA1) || (cp >= 0x2000 && cp <= 0x200B) || cp == 0x3000;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    std::int64_t yoe = y - era * 400;
    std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

constexpr std::int64_t kDaysTo2001 = 11323;  // 1970-01-01 to 2001-01-01

class XmlReader {
public:
    // The text is written over where it has been read: a text or data that
    // needs decoding is decoded in its own place, which it never outgrows,
    // and the builder writes its objects behind (see writeBehind).
    XmlReader(char* text, std::size_t size, bool surrogatesAllowed, DocumentBuilder& builder)
        : s_(text, size), surrogatesAllowed_(surrogatesAllowed), w_(text), b_(builder) {}

    std::uint32_t document() {
        while (p_ < s_.size()) {
            skipSpace();
            if (p_ + 1 >= s_.size()) fail("no XML content", p_);
            if (s_[p_] != '<') fail("unexpected character before the root", p_);
            ++p_;
            if (s_[p_] == '!') {
                ++p_;
                if (startsWith("--")) {
                    p_ += 2;
                    skipComment();
                } else {
                    skipDoctype();
                }
            } else if (s_[p_] == '?') {
                ++p_;
                skipProcessingInstruction();
            } else {
                // The objects are written over what the root's content
                // leaves read (OpenStep, tried on the same text should this
                // fail, gives up before the end of this tag). Whatever
                // follows the root element is ignored, as Foundation ignores
                // it.
                OpenTag root = openTag();
                b_.writeBehind(w_, p_);
                return element(root, 0, nullptr);
            }
        }
        fail("no XML content", p_);
    }

private:
    bool startsWith(std::string_view what) const {
        if (s_.size() - p_ < what.size()) return false;
        for (std::size_t k = 0; k < what.size(); ++k)  // a few bytes: no call to memcmp
            if (s_[p_ + k] != what[k]) return false;
        return true;
    }

    void skipSpace() {
        while (p_ < s_.size() && isSpace(s_[p_])) ++p_;
    }

    void skipComment() {
        std::size_t end = s_.find("-->", p_);
        if (end == std::string_view::npos) fail("unterminated comment", p_);
        p_ = end + 3;
    }

    void skipProcessingInstruction() {
        std::size_t end = s_.find("?>", p_);
        if (end == std::string_view::npos) fail("unterminated processing instruction", p_);
        p_ = end + 2;
    }

    // Skipped up to the first '>'; an internal subset would declare
    // entities, which Foundation never supports.
    void skipDoctype() {
        if (!startsWith("DOCTYPE")) fail("malformed DTD", p_);
        for (; p_ < s_.size(); ++p_) {
            if (s_[p_] == '[') fail("inline DTD", p_);
            if (s_[p_] == '>') {
                ++p_;
                return;
            }
        }
        fail("unterminated DTD", p_);
    }

    // The next element of a container's content, or nothing at its close tag.
    std::optional<std::uint32_t> content(int depth, bool* isKey) {
        if (!atElement()) return std::nullopt;
        return element(depth, isKey);
    }

    // Skips what may stand between elements; true at the character after
    // the '<' of an element, false at a close tag.
    bool atElement() {
        while (true) {
            skipSpace();
            if (p_ >= s_.size()) fail("unexpected end of file", p_);
            if (s_[p_] != '<') fail("unexpected character where a tag was expected", p_);
            ++p_;
            if (p_ >= s_.size()) fail("unexpected end of file", p_);
            switch (s_[p_]) {
            case '?':
                ++p_;
                skipProcessingInstruction();
                break;
            case '!':
                if (p_ + 2 >= s_.size()) fail("unexpected end of file", p_);
                if (s_[p_ + 1] != '-' || s_[p_ + 2] != '-') fail("unexpected <! in content", p_);
                p_ += 3;
                skipComment();
                break;
            case '/': --p_; return false;
            default: return true;
            }
        }
    }

    enum class Tag { Plist, Array, Dict, Key, String, Data, Date, Real, Integer, True, False };

    struct OpenTag {
        Tag tag;
        std::string_view name;
        bool empty;  // <name/>
        std::size_t start;
    };

    static std::optional<Tag> tagNamed(std::string_view name) {
        // By length first: most names are told apart by it alone.
        auto is = [&](std::string_view n, Tag t) { return name == n ? std::optional<Tag>(t) : std::nullopt; };
        switch (name.size()) {
        case 3: return is("key", Tag::Key);
        case 4:
            switch (name[0]) {
            case 'd': return name[1] == 'i' ? is("dict", Tag::Dict) : name[3] == 'a' ? is("data", Tag::Data) : is("date", Tag::Date);
            case 't': return is("true", Tag::True);
            default: return is("real", Tag::Real);
            }
        case 5:
            switch (name[0]) {
            case 'p': return is("plist", Tag::Plist);
            case 'a': return is("array", Tag::Array);
            default: return is("false", Tag::False);
            }
        case 6: return is("string", Tag::String);
        case 7: return is("integer", Tag::Integer);
        default: return std::nullopt;
        }
    }

    // Whether the text at p_ starts with `what`, a literal: compared in
    // place, without a call.
    template <std::size_t N>
    bool at(const char (&what)[N]) const {
        return s_.size() - p_ >= N - 1 && std::memcmp(s_.data() + p_, what, N - 1) == 0;
    }

    // The tags as a writer writes them, told at once; anything else (white
    // space, attributes, another empty form) is read in full below.
    std::optional<OpenTag> commonTag() {
        auto is = [&](auto& text, Tag tag, std::size_t name, bool empty) {
            if (!at(text)) return std::optional<OpenTag>();
            OpenTag open{tag, s_.substr(p_, name), empty, p_};
            p_ += sizeof text - 1;
            return std::optional<OpenTag>(open);
        };
        switch (p_ < s_.size() ? s_[p_] : '\0') {
        case 'k': return is("key>", Tag::Key, 3, false);
        case 's': return is("string>", Tag::String, 6, false);
        case 'd':
            if (auto t = is("dict>", Tag::Dict, 4, false)) return t;
            if (auto t = is("data>", Tag::Data, 4, false)) return t;
            if (auto t = is("dict/>", Tag::Dict, 4, true)) return t;
            return is("date>", Tag::Date, 4, false);
        case 'i': return is("integer>", Tag::Integer, 7, false);
        case 'r': return is("real>", Tag::Real, 4, false);
        case 'a':
            if (auto t = is("array>", Tag::Array, 5, false)) return t;
            return is("array/>", Tag::Array, 5, true);
        case 't': return is("true/>", Tag::True, 4, true);
        case 'f': return is("false/>", Tag::False, 5, true);
        default: return std::nullopt;
        }
    }

    // At the character after '<'. The name ends at white space; the tag ends
    // at the first '>', quotes or not.
    OpenTag openTag() {
        if (auto common = commonTag()) return *common;
        std::size_t start = p_, nameEnd = std::string_view::npos;
        while (p_ < s_.size() && s_[p_] != '>') {
            if (isSpace(s_[p_]) && nameEnd == std::string_view::npos) nameEnd = p_;
            ++p_;
        }
        if (p_ >= s_.size()) fail("unterminated tag", start);
        bool empty = s_[p_ - 1] == '/';
        if (nameEnd == std::string_view::npos) nameEnd = p_ - (empty ? 1 : 0);
        ++p_;
        std::string_view name = s_.substr(start, nameEnd - start);
        std::optional<Tag> tag = tagNamed(name);
        if (!tag) fail("unknown tag", start);
        return OpenTag{*tag, name, empty, start};
    }

    std::uint32_t element(int depth, bool* isKey) {
        if (depth > kMaxDepth) fail("nested too deep", p_);
        return element(openTag(), depth, isKey);
    }

    std::uint32_t element(const OpenTag& open, int depth, bool* isKey) {
        auto [tag, name, empty, start] = open;
        switch (tag) {
        case Tag::Plist: return plist(open, depth);
        case Tag::Array:
            return empty ? b_.array(b_.open()) : array(depth);
        case Tag::Dict:
            return empty ? b_.dictionary(b_.open(), true) : dictionary(depth);
        case Tag::Key:
            // Where no key is looked for, Foundation reads a key as a string.
            if (isKey) *isKey = true;
            [[fallthrough]];
        case Tag::String:
            if (empty && isKey && tag == Tag::Key) {
                b_.addKey({}, run_);  // added to the dictionary's items here
                return Document::npos;
            }
            if (empty) return b_.string({});
            return stringBody(name, isKey && tag == Tag::Key);
        case Tag::Data:
            if (empty) fail("empty data tag", start);
            return data();
        case Tag::Date:
            if (empty) fail("empty date tag", start);
            return date();
        case Tag::Real:
            if (empty) fail("empty real tag", start);
            return real();
        case Tag::Integer:
            if (empty) fail("empty integer tag", start);
            return integer();
        case Tag::True:
        case Tag::False:
            if (!empty) closeTag(name);
            return b_.scalar(Scalar::boolean(tag == Tag::True));
        }
        fail("unknown tag", start);
    }

    // A plist holds one object. Plists nested in plists read as the
    // innermost one's object, however deep, as in Foundation: the levels are
    // counted, not recursed into. A second object fails whatever it is, so
    // it is not read.
    std::uint32_t plist(OpenTag open, int depth) {
        std::size_t levels = 0;
        while (true) {
            if (open.empty) fail("empty plist tag", open.start);
            ++levels;
            if (!atElement()) fail("empty plist", p_);
            open = openTag();
            if (open.tag != Tag::Plist) break;
        }
        std::uint32_t value = element(open, depth, nullptr);
        for (; levels > 0; --levels) {
            if (atElement()) fail("more than one object in plist", p_);
            closeTag("plist");
        }
        return value;
    }

    // At '<' of what must be "</name", optional white space, '>'.
    void closeTag(std::string_view name) {
        if (s_.size() - p_ < name.size() + 3) fail("unexpected end of file", p_);
        if (s_[p_] != '<' || s_[p_ + 1] != '/') fail("expected a close tag", p_);
        p_ += 2;
        for (std::size_t k = 0; k < name.size(); ++k)  // a few bytes: no call to memcmp
            if (s_[p_ + k] != name[k]) fail("close tag does not match", p_);
        p_ += name.size();
        skipSpace();
        if (p_ >= s_.size()) fail("unexpected end of file", p_);
        if (s_[p_] != '>') fail("malformed close tag", p_);
        ++p_;
    }

    std::uint32_t array(int depth) {
        std::size_t opened = b_.open();
        while (auto item = content(depth + 1, nullptr)) b_.add(*item);
        closeTag("array");
        return b_.array(opened);
    }

    std::uint32_t dictionary(int depth) {
        std::size_t opened = b_.open();
        // A key is read only straight in a dictionary: run_ is that one's.
        DocumentBuilder::KeyRun run(opened);
        DocumentBuilder::KeyRun* outer = run_;
        run_ = &run;
        while (true) {
            bool gotKey = false;
            auto key = content(depth + 1, &gotKey);
            if (!key) break;
            if (!gotKey) fail("non-key inside dict", p_);
            auto value = content(depth + 1, nullptr);
            if (!value) fail("value missing for key", p_);
            b_.add(*value);
        }
        run_ = outer;
        closeTag("dict");
        // A keyed archiver's UID is written as a dictionary of one integer.
        return b_.dictionary(opened, true, &run);
    }

    // Text converted from UTF-16 is well formed by construction but may carry
    // lone surrogates; they load, and the writer refuses them.
    void appendRaw(char*& out, std::size_t from, std::size_t to, bool ascii = false) {
        std::string_view piece = s_.substr(from, to - from);
        if (!ascii && !surrogatesAllowed_ && !unicode::isValidUtf8(piece)) fail("invalid UTF-8", from);
        if (out != piece.data()) std::memmove(out, piece.data(), piece.size());
        out += piece.size();
    }

    // Of the eight bytes at p_, how many come before the first '<' or '&'
    // (see unicode::bytesBefore); a byte above 0x7F among them sets the top
    // bit of `seen`.
    unsigned plainWord(unsigned char& seen) const {
        std::uint64_t w;
        std::memcpy(&w, s_.data() + p_, 8);
        unsigned plain = unicode::bytesBefore(unicode::bytesEqual(w, '<') | unicode::bytesEqual(w, '&'));
        std::uint64_t taken = plain == 8 ? w : w & ((std::uint64_t{1} << (8 * plain)) - 1);
        if (taken & 0x8080808080808080ull) seen |= 0x80;
        return plain;
    }

    // Text up to the close tag, with entities and CDATA sections resolved
    // (decoded in its place), a view of the source.
    std::string_view plainText() {
        std::size_t start = p_;
        // Every byte or'ed: ASCII text needs no check of its UTF-8. Eight
        // bytes at a time while none of them is '<' or '&'.
        unsigned char seen = 0;
        while (s_.size() - p_ >= 8) {
            unsigned plain = plainWord(seen);
            p_ += plain;
            if (plain < 8) break;
        }
        for (; p_ < s_.size() && s_[p_] != '<' && s_[p_] != '&'; ++p_) seen |= static_cast<unsigned char>(s_[p_]);
        if (p_ < s_.size() && s_[p_] == '<' && (p_ + 1 >= s_.size() || s_[p_ + 1] != '!')) {
            std::string_view piece = s_.substr(start, p_ - start);
            if (seen >= 0x80 && !surrogatesAllowed_ && !unicode::isValidUtf8(piece)) fail("invalid UTF-8", start);
            return piece;
        }
        char* out = w_ + start;
        text(out, start, seen);
        return std::string_view(w_ + start, static_cast<std::size_t>(out - (w_ + start)));
    }

    std::uint32_t stringBody(std::string_view name, bool asKey) {
        std::string_view t = plainText();
        closeTag(name);
        std::uint32_t object = Document::npos;
        if (asKey) b_.addKey(t, run_);  // added to the dictionary's items here
        else object = b_.string(t);
        return object;
    }

    // Writes the text from `mark` up to the close tag at `out`, which never
    // passes what has been read; the plain bytes from `mark` to p_, already
    // scanned, or'ed together in `seen`.
    void text(char*& out, std::size_t mark, unsigned char seen) {
        while (p_ < s_.size()) {
            char c = s_[p_];
            if (c == '<') {
                if (p_ + 1 >= s_.size() || s_[p_ + 1] != '!') break;
                appendRaw(out, mark, p_, seen < 0x80);
                cdata(out);
                mark = p_, seen = 0;
            } else if (c == '&') {
                appendRaw(out, mark, p_, seen < 0x80);
                entity(out);
                mark = p_, seen = 0;
            } else if (s_.size() - p_ >= 8) {
                // Up to the next '<' or '&', eight bytes at a time.
                unsigned plain = plainWord(seen);
                if (plain == 0) {  // this byte, which is neither, alone
                    seen |= static_cast<unsigned char>(c);
                    plain = 1;
                }
                p_ += plain;
            } else {
                seen |= static_cast<unsigned char>(c);
                ++p_;
            }
        }
        appendRaw(out, mark, p_, seen < 0x80);
    }

    void cdata(char*& out) {
        if (!startsWith("<![CDATA[")) fail("improper CDATA opening", p_);
        std::size_t begin = p_ + 9;
        std::size_t end = s_.find("]]>", begin);
        if (end == std::string_view::npos) fail("unterminated CDATA", p_);
        p_ = begin;
        appendRaw(out, begin, end);
        p_ = end + 3;
    }

    void entity(char*& out) {
        std::size_t at = p_++;
        static const std::pair<std::string_view, char> named[] = {
            {"lt;", '<'}, {"gt;", '>'}, {"amp;", '&'}, {"apos;", '\''}, {"quot;", '"'},
        };
        // Told apart by their first letter; "amp;" and "apos;" share theirs.
        std::size_t from = 0, to = 0;
        switch (p_ < s_.size() ? s_[p_] : '\0') {
        case 'l': from = 0, to = 1; break;
        case 'g': from = 1, to = 2; break;
        case 'a': from = 2, to = 4; break;
        case 'q': from = 4, to = 5; break;
        default: break;
        }
        for (std::size_t k = from; k < to; ++k) {
            const auto& e = named[k];
            if (startsWith(e.first)) {
                *out++ = e.second;
                p_ += e.first.size();
                return;
            }
        }
        if (p_ >= s_.size() || s_[p_] != '#') fail("unknown entity", at);
        ++p_;
        bool hex = p_ < s_.size() && s_[p_] == 'x';
        if (hex) ++p_;
        std::uint32_t cp = 0;
        int digits = 0;
        for (; p_ < s_.size(); ++p_) {
            char c = s_[p_];
            if (c == ';') {
                ++p_;
                if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) fail("character reference out of range", at);
                out += unicode::encode(out, cp);
                return;
            }
            int d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else fail("bad character reference", p_);
            if (++digits > 8) fail("character reference too long", at);
            cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
        }
        fail("unterminated character reference", at);
    }

    // Raw text up to the next '<' (integers, dates and data take no entities).
    std::string_view raw() {
        std::size_t start = p_;
        const void* lt = std::memchr(s_.data() + p_, '<', s_.size() - p_);
        p_ = lt ? static_cast<std::size_t>(static_cast<const char*>(lt) - s_.data()) : s_.size();
        return s_.substr(start, p_ - start);
    }

    std::uint32_t integer() {
        std::size_t at = p_;
        std::string_view t = raw();
        closeTag("integer");
        std::size_t i = 0;
        // A whole character of white space, or one byte Foundation takes for it.
        auto skipIntegerSpace = [&] {
            std::uint32_t cp;
            while (i < t.size()) {
                auto c = static_cast<unsigned char>(t[i]);
                if (c > 0x20 && c < 0x7F) return;  // a sign or a digit, most often: no space
                std::size_t len = unicode::decode(t, i, cp);
                if (len != 0 && isIntegerSpace(cp)) i += len;
                else if (isIntegerSpaceByte(t, i)) ++i;
                else return;
            }
        };
        skipIntegerSpace();
        bool negative = false;
        if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
        skipIntegerSpace();
        bool hex = false;
        if (i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
            hex = true;
            i += 2;
        }
        if (i >= t.size()) fail("empty integer", at);
        std::uint64_t value = 0;
        if (!hex) {
            // Nineteen decimal digits cannot overflow: looked for past them only.
            for (std::size_t end = std::min(t.size(), i + 19); i < end; ++i) {
                unsigned d = static_cast<unsigned>(static_cast<unsigned char>(t[i])) - '0';
                if (d > 9) fail("bad character in integer", at + i);
                value = value * 10 + d;
            }
        }
        for (; i < t.size(); ++i) {
            char c = t[i];
            unsigned d;
            if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
            else if (hex && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
            else if (hex && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
            else fail("bad character in integer", at + i);
            if (__builtin_mul_overflow(value, hex ? 16u : 10u, &value) || __builtin_add_overflow(value, d, &value))
                fail("integer overflow", at);
        }
        constexpr std::uint64_t kMagnitudeOfMin = std::uint64_t{1} << 63;
        if (negative) {
            if (value > kMagnitudeOfMin) fail("integer underflow", at);
            return b_.scalar(Scalar{Type::Integer, false, 0 - value});
        }
        return b_.scalar(Scalar{Type::Integer, value > kMagnitudeOfMin - 1, value});
    }

    std::uint32_t real() {
        std::size_t at = p_;
        std::string_view t = plainText();
        closeTag("real");
        static const std::pair<std::string_view, double> words[] = {
            {"nan", std::numeric_limits<double>::quiet_NaN()},
            {"inf", HUGE_VAL},         {"+inf", HUGE_VAL},         {"-inf", -HUGE_VAL},
            {"infinity", HUGE_VAL},    {"+infinity", HUGE_VAL},    {"-infinity", -HUGE_VAL},
        };
        // Each word ends in a letter, which digits never do.
        char last = t.empty() ? '\0' : static_cast<char>(t.back() | 0x20);
        if (last >= 'a' && last <= 'z')
            for (const auto& w : words)
                if (t.size() == w.first.size() && strncasecmp(t.data(), w.first.data(), t.size()) == 0)
                    return realObject(w.second);
        std::size_t i = 0;
        std::uint32_t cp;
        while (i < t.size()) {
            auto c = static_cast<unsigned char>(t[i]);
            if (c > 0x20 && c < 0x7F) break;  // a sign or a digit, most often: no space
            std::size_t len = unicode::decode(t, i, cp);
            if (len == 0 || !isRealSpace(cp)) break;
            i += len;
        }
        if (i == t.size()) fail("empty real", at);
        std::string_view digits = t.substr(i);
        double d;
        // A text it reads holds only what the check below lets through.
        if (detail::realFromText(digits, d)) return realObject(d);
        for (std::size_t k = i; k < t.size(); ++k) {
            char c = t[k];
            if (!((c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E'))
                fail("malformed real", at);
        }
        // strtod wants the text ended by a NUL. The program never sets a
        // locale, so it reads the C locale's '.'.
        char buffer[64];
        std::string longer;
        const char* c = buffer;
        if (digits.size() < sizeof buffer) {
            std::memcpy(buffer, digits.data(), digits.size());
            buffer[digits.size()] = '\0';
        } else {
            c = (longer = std::string(digits)).c_str();
        }
        char* end = nullptr;
        d = std::strtod(c, &end);
        if (end != c + digits.size()) fail("malformed real", at);
        return realObject(d);
    }

    std::uint32_t date() {
        std::size_t at = p_;
        std::string_view t = raw();
        closeTag("date");
        std::size_t i = 0;
        bool negative = i < t.size() && t[i] == '-';
        if (negative) ++i;
        std::int64_t year = 0;
        for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
            year = year * 10 + (t[i] - '0');
            if (year > std::numeric_limits<std::int32_t>::max()) fail("year out of range", at);
        }
        auto expect = [&](char c) {
            if (i >= t.size() || t[i] != c) fail("malformed date", at);
            ++i;
        };
        auto two = [&] {
            if (i + 1 >= t.size() || t[i] < '0' || t[i] > '9' || t[i + 1] < '0' || t[i + 1] > '9')
                fail("malformed date", at);
            int v = (t[i] - '0') * 10 + (t[i + 1] - '0');
            i += 2;
            return v;
        };
        expect('-');
        int month = two();
        expect('-');
        int day = two();
        expect('T');
        int hour = two();
        expect(':');
        int minute = two();
        expect(':');
        int second = two();
        expect('Z');
        if (i != t.size()) fail("malformed date", at);
        if (negative) year = -year;
        // Out-of-range fields roll over, as the calendar arithmetic does.
        std::int64_t m0 = month - 1;
        year += m0 >= 0 ? m0 / 12 : (m0 - 11) / 12;
        m0 -= (m0 >= 0 ? m0 / 12 : (m0 - 11) / 12) * 12;
        std::int64_t days = daysFromCivil(year, m0 + 1, 1) + (day - 1) - kDaysTo2001;
        double seconds = static_cast<double>(days) * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
        return b_.scalar(Scalar{Type::Date, false, bitsOf(seconds)});
    }

    std::uint32_t data() {
        std::size_t at = p_;
        std::string_view t = raw();
        closeTag("data");
        // What each byte is: a digit's value, '=', white space (which keeps
        // a run of '=' going), anything else skipped, or no ASCII at all.
        constexpr unsigned char kEquals = 64, kSpace = 65, kSkipped = 66, kNonAscii = 67;
        static const auto kinds = [] {
            std::array<unsigned char, 256> k{};
            for (int c = 0; c < 256; ++c)
                k[c] = c >= 0x80 ? kNonAscii : c == '=' ? kEquals : isCSpace(static_cast<char>(c)) ? kSpace : kSkipped;
            const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
            for (unsigned char v = 0; v < 64; ++v) k[static_cast<unsigned char>(alphabet[v])] = v;
            return k;
        }();
        // A digit's value in its place in a group of four, each table a
        // place; the top bit for anything else.
        static const auto places = [] {
            std::array<std::array<std::uint32_t, 256>, 4> p{};
            for (int place = 0; place < 4; ++place)
                for (int c = 0; c < 256; ++c)
                    p[place][c] = kinds[c] < kEquals ? std::uint32_t{kinds[c]} << (18 - 6 * place) : 0x80000000u;
            return p;
        }();
        // Three bytes for each four digits, at most: decoded in place.
        char* const start = w_ + (t.data() - s_.data());
        char* out = start;
        std::uint32_t acc = 0;
        unsigned count = 0, equals = 0;
        const auto* digits = reinterpret_cast<const unsigned char*>(t.data());
        for (std::size_t i = 0; i < t.size(); ++i) {
            if ((count & 3) == 0 && kinds[digits[i]] < kEquals) {
                // Whole groups of four digits at once, from where one
                // starts: a line's run of digits, all but its end.
                std::size_t from = i;
                for (; t.size() - i >= 4; i += 4, out += 3) {
                    std::uint32_t v = places[0][digits[i]] | places[1][digits[i + 1]] | places[2][digits[i + 2]] |
                                      places[3][digits[i + 3]];
                    if (v >> 24 != 0) break;  // not four digits
                    out[0] = static_cast<char>(v >> 16 & 0xFF);
                    out[1] = static_cast<char>(v >> 8 & 0xFF);
                    out[2] = static_cast<char>(v & 0xFF);
                }
                if (i != from) equals = 0;
                if (i == t.size()) break;
            }
            unsigned char kind = kinds[digits[i]];
            if (kind >= kSpace) {
                if (kind == kNonAscii) fail("non-ASCII byte in data", at + i);
                if (kind == kSkipped) equals = 0;
                continue;  // outside the alphabet: skipped
            }
            if (kind == kEquals) {
                ++equals;
                kind = 0;
            } else {
                equals = 0;
            }
            acc = (acc << 6) | kind;
            if ((++count & 3) == 0) {
                *out++ = static_cast<char>((acc >> 16) & 0xFF);
                if (equals < 2) *out++ = static_cast<char>((acc >> 8) & 0xFF);
                if (equals < 1) *out++ = static_cast<char>(acc & 0xFF);
            }
        }
        return b_.data(std::string_view(start, static_cast<std::size_t>(out - start)));
    }

    static std::uint64_t bitsOf(double d) {
        std::uint64_t bits;
        std::memcpy(&bits, &d, 8);
        return bits;
    }
    std::uint32_t realObject(double d) { return b_.scalar(Scalar{Type::Real, false, bitsOf(d)}); }

    std::string_view s_;
    std::size_t p_ = 0;
    bool surrogatesAllowed_;
    char* w_;  // s_, to be written over
    DocumentBuilder& b_;
    DocumentBuilder::KeyRun* run_ = nullptr;  // of the dictionary being read
};

// The value of encoding="..." in a leading XML declaration, or nothing.
std::optional<std::string_view> declaredEncoding(std::string_view s) {
    if (s.substr(0, 5) != "<?xml") return std::nullopt;
    std::size_t end = s.find_first_of("?>", 5);
    std::string_view decl = s.substr(0, end);
    std::size_t at = decl.find("encoding=", 5);
    if (at == std::string_view::npos) return std::nullopt;
    at += 9;
    if (at >= s.size() || (s[at] != '"' && s[at] != '\'')) return std::nullopt;
    std::size_t close = s.find(s[at], at + 1);
    if (close == std::string_view::npos) return std::nullopt;
    return s.substr(at + 1, close - at - 1);
}

// The text to scan, as UTF-8: a byte-order mark or a zero byte in the first
// two bytes selects UTF-16 or UTF-32, otherwise the declared encoding,
// otherwise UTF-8. `failed` is set when the bytes are not valid in the
// encoding selected, or the declared one is unknown.
std::string_view decodeText(std::string_view bytes, std::optional<std::string>& converted, bool& fromUtf16,
                            bool& failed) {
    encoding::Detected detected;
    std::string_view text;
    failed = !encoding::unicodeText(bytes, converted, detected, text);
    fromUtf16 = detected == encoding::Detected::Utf16;
    if (failed || detected != encoding::Detected::None) return text;
    auto name = declaredEncoding(bytes);
    if (!name || encoding::namesUtf8(*name)) return bytes;
    converted = encoding::fromCharset(bytes, *name);
    failed = !converted;
    return converted ? std::string_view(*converted) : std::string_view();
}

}  // namespace

namespace detail {

// The text, a view of `owner`, read; `owner` is taken only where it reads,
// and written over inside the elements read, where it reads or not.
ReadResult xmlOf(std::string_view text, bool fromUtf16, Bytes& owner) {
    return runReader([&] {
        DocumentBuilder builder(owner);
        // Text from UTF-16 may hold lone surrogates; any other was refused
        // where it was not well-formed UTF-8. (Looked for before the text is
        // written over.)
        bool wellFormed = !fromUtf16 || !unicode::convertedHasLoneSurrogate(text);
        char* writable = owner.data() + (text.data() - std::as_const(owner).data());
        std::uint32_t root = XmlReader(writable, text.size(), fromUtf16, builder).document();
        return builder.finish(root, std::move(owner), wellFormed);
    });
}

ReadResult xmlFrom(Bytes& bytes) {
    ReadResult result;
    std::optional<std::string> converted;
    bool fromUtf16, failed;
    std::string_view text = decodeText(bytes, converted, fromUtf16, failed);
    if (failed) {
        result.error = "not valid in its encoding, or an unknown encoding";
        result.badEncoding = true;
        return result;
    }
    if (!converted) return xmlOf(text, fromUtf16, bytes);
    Bytes owner(std::move(*converted));  // the text is the whole of it
    return xmlOf(owner, fromUtf16, owner);
}

ReadResult xmlFromUtf16(Bytes& text) { return xmlOf(text, true, text); }

}  // namespace detail

}  // namespace plist
