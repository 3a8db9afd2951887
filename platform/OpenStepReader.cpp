// The old-style OpenStep text format and "strings" files, read as
// CoreFoundation reads them. Every scalar is a string.
#include <cstdint>
#include <optional>

#include "DocumentBuilder.h"
#include "PropertyList.h"
#include "ReaderFailure.h"
#include "TextEncoding.h"
#include "Unicode.h"

namespace plist {

namespace {

using detail::fail;

// Bytes 0x80..0xFF of the NeXTSTEP character set, which octal escapes name;
// 0 where the set has no character.
const std::uint16_t kNextStep[128] = {
    0x00A0, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC,
    0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D9, 0x00DA, 0x00DB,
    0x00DC, 0x00DD, 0x00DE, 0x00B5, 0x00D7, 0x00F7, 0x00A9, 0x00A1, 0x00A2, 0x00A3, 0x2044, 0x00A5, 0x0192,
    0x00A7, 0x00A4, 0x2019, 0x201C, 0x00AB, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x00AE, 0x2013, 0x2020, 0x2021,
    0x00B7, 0x00A6, 0x00B6, 0x2022, 0x201A, 0x201E, 0x201D, 0x00BB, 0x2026, 0x2030, 0x00AC, 0x00BF, 0x00B9,
    0x02CB, 0x00B4, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x00A8, 0x00B2, 0x02DA, 0x00B8, 0x00B3, 0x02DD,
    0x02DB, 0x02C7, 0x2014, 0x00B1, 0x00BC, 0x00BD, 0x00BE, 0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5,
    0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00C6, 0x00ED, 0x00AA, 0x00EE, 0x00EF, 0x00F0, 0x00F1,
    0x0141, 0x00D8, 0x0152, 0x00BA, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00E6, 0x00F9, 0x00FA, 0x00FB,
    0x0131, 0x00FC, 0x00FD, 0x0142, 0x00F8, 0x0153, 0x00DF, 0x00FE, 0x00FF, 0x0000, 0x0000,
};

bool isUnquoted(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           c == '/' || c == ':' || c == '.' || c == '-';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class OpenStepReader {
public:
    OpenStepReader(std::string_view text, DocumentBuilder& builder) : s_(text), b_(builder) {}

    std::uint32_t document() {
        // Nothing but white space and comments: an empty dictionary.
        if (!skipSpace()) return b_.dictionary(b_.open(), false);
        DocumentBuilder::Mark start = b_.mark();
        bool isString = p_ < s_.size() && (s_[p_] == '"' || s_[p_] == '\'' || isUnquoted(s_[p_]));
        std::uint32_t top = object(0);
        if (!skipSpace()) return top;
        // A string followed by more text: a strings file, a dictionary's
        // content without the braces. Its entries end, without a failure,
        // where no key can start; what follows is not looked at.
        if (!isString) fail("junk after the property list", p_);
        p_ = 0;
        b_.rewind(start);
        return dictionaryContent(0);
    }

private:
    // Line and paragraph separators, U+2028 and U+2029.
    bool atUnicodeLineEnd() const {
        return p_ + 2 < s_.size() && s_[p_] == '\xE2' && s_[p_ + 1] == '\x80' &&
               (s_[p_ + 2] == '\xA8' || s_[p_ + 2] == '\xA9');
    }

    // Skips white space and comments; false at the end of the text.
    bool skipSpace() {
        while (p_ < s_.size()) {
            char c = s_[p_];
            if ((c >= 9 && c <= 13) || c == ' ') {
                ++p_;
            } else if (atUnicodeLineEnd()) {
                p_ += 3;
            } else if (c == '/' && p_ + 1 < s_.size() && s_[p_ + 1] == '/') {
                p_ += 2;
                while (p_ < s_.size() && s_[p_] != '\n' && s_[p_] != '\r' && !atUnicodeLineEnd()) ++p_;
            } else if (c == '/' && p_ + 1 < s_.size() && s_[p_ + 1] == '*') {
                std::size_t end = s_.find("*/", p_ + 2);
                p_ = end == std::string_view::npos ? s_.size() : end + 2;  // an open comment runs to the end
            } else {
                return true;
            }
        }
        return false;
    }

    // The object at the cursor, or nothing where no object starts (after an
    // array's trailing comma, say). Each failure is raised at the place
    // Foundation's reader stops at, since an array goes on from there.
    std::optional<std::uint32_t> maybeObject(int depth) {
        if (depth > kMaxDepth) fail("nested too deep", p_);
        if (!skipSpace()) return std::nullopt;
        char c = s_[p_];
        if (c == '{') {
            ++p_;
            std::uint32_t dict = dictionaryContent(depth);
            if (!skipSpace() || s_[p_] != '}') fail("expected '}'", p_);
            ++p_;
            return dict;
        }
        if (c == '(') return array(depth);
        if (c == '<') return data();
        if (c == '"' || c == '\'') return quoted();
        if (isUnquoted(c)) return unquoted();
        return std::nullopt;
    }

    std::uint32_t object(int depth) {
        auto v = maybeObject(depth);
        if (!v) fail(p_ < s_.size() ? "unexpected character" : "unexpected end of text", p_);
        return *v;
    }

    // The next key, or nothing where none starts. A quoted key that does not
    // end is no key either: the entries end there, and the reader goes on
    // from where the string gave up.
    std::optional<std::uint32_t> key() {
        if (!skipSpace()) return std::nullopt;
        char c = s_[p_];
        if (c == '"' || c == '\'') return orNothing([this] { return quoted(true); });
        if (isUnquoted(c)) return unquoted(true);
        return std::nullopt;
    }

    std::uint32_t dictionaryContent(int depth) {
        std::size_t opened = b_.open();
        while (auto k = key()) {
            if (!skipSpace()) fail("missing ';'", p_);
            std::uint32_t value;
            if (s_[p_] == ';') {
                value = b_.copy(*k);  // "key;" is key = key
            } else if (s_[p_] == '=') {
                ++p_;
                value = object(depth + 1);
            } else {
                fail("expected '=' or ';' after a key", p_);
            }
            b_.add(*k);
            b_.add(value);
            if (!skipSpace() || s_[p_] != ';') fail("missing ';'", p_);
            ++p_;
        }
        return b_.dictionary(opened, false);
    }

    // An item that fails to read ends the items, as one that is not there
    // does: the array then ends where the item gave up, or fails.
    std::uint32_t array(int depth) {
        ++p_;
        std::size_t opened = b_.open();
        auto item = orNothing([&] { return maybeObject(depth + 1); });
        while (item) {
            b_.add(*item);
            if (!skipSpace()) fail("expected ',' or ')'", p_);
            if (s_[p_] != ',') break;
            ++p_;
            item = orNothing([&] { return maybeObject(depth + 1); });
        }
        if (!skipSpace() || s_[p_] != ')') fail("expected ')'", p_);
        ++p_;
        return b_.array(opened);
    }

    // What `read` reads, or nothing where it fails, the cursor then where it
    // gave up: Foundation's reader goes on from there where an object is not
    // required. What the read added to the document is taken away.
    template <typename Read>
    auto orNothing(Read read) -> decltype(std::optional(read())) {
        DocumentBuilder::Mark mark = b_.mark();
        try {
            return read();
        } catch (const detail::ReadFailure& f) {
            p_ = f.offset;
            b_.rewind(mark);
            return std::nullopt;
        }
    }

    std::uint32_t data() {
        ++p_;
        std::string bytes;
        while (true) {
            if (!skipSpace()) fail("unterminated data", p_);
            if (s_[p_] == '>') {
                ++p_;
                return b_.data(bytes);
            }
            int high = hexValue(s_[p_]);
            if (high < 0) fail("bad hex digit in data", p_);
            ++p_;
            int low = p_ < s_.size() ? hexValue(s_[p_]) : -1;
            if (low < 0) fail("odd number of hex digits in data", p_);
            ++p_;
            bytes += static_cast<char>(high * 16 + low);
        }
    }

    // A string, or with `asKey` a dictionary's key.
    std::uint32_t unquoted(bool asKey = false) {
        std::size_t start = p_;
        while (p_ < s_.size() && isUnquoted(s_[p_])) ++p_;
        std::string_view text = s_.substr(start, p_ - start);
        return asKey ? b_.key(text) : b_.string(text);
    }

    // Fails after the opening quote when the string does not end, and at the
    // end of the text after a lone backslash.
    std::uint32_t quoted(bool asKey = false) {
        char quote = s_[p_];
        std::size_t at = ++p_;
        std::string out;
        std::size_t mark = p_;
        while (p_ < s_.size() && s_[p_] != quote) {
            if (s_[p_] != '\\') {
                ++p_;
                continue;
            }
            out.append(s_.substr(mark, p_ - mark));
            ++p_;
            if (p_ >= s_.size()) fail("unterminated backslash sequence", p_);
            unicode::append(out, escaped());
            mark = p_;
        }
        if (p_ >= s_.size()) fail("unterminated quoted string", at);
        ++p_;
        // Without escapes, the text as it stands.
        if (mark != at) out.append(s_.substr(mark, p_ - 1 - mark));
        std::string_view text = mark == at ? s_.substr(at, p_ - 1 - at) : std::string_view(out);
        return asKey ? b_.key(text) : b_.string(text);
    }

    // At the character after a backslash.
    std::uint32_t escaped() {
        char c = s_[p_++];
        if (c >= '0' && c <= '7') {
            unsigned n = static_cast<unsigned>(c - '0');
            for (int k = 0; k < 2 && p_ < s_.size() && s_[p_] >= '0' && s_[p_] <= '7'; ++k)
                n = (n << 3) + static_cast<unsigned>(s_[p_++] - '0');
            n &= 0xFF;  // held in one byte, as the NeXTSTEP code is
            return n < 0x80 ? n : kNextStep[n - 0x80];
        }
        switch (c) {
        case 'U': {
            std::uint32_t n = 0;
            for (int k = 0; k < 4 && p_ < s_.size() && hexValue(s_[p_]) >= 0; ++k)
                n = (n << 4) + static_cast<std::uint32_t>(hexValue(s_[p_++]));
            return n;
        }
        case 'a': return '\a';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        case 'v': return '\v';
        default: {
            // Any other character stands for itself; step back over a
            // multi-byte one so it is copied whole.
            if (static_cast<unsigned char>(c) >= 0x80) {
                std::uint32_t cp;
                std::size_t len = unicode::decode(s_, p_ - 1, cp);
                if (len == 0) fail("invalid UTF-8", p_ - 1);
                p_ += len - 1;
                return cp;
            }
            return static_cast<unsigned char>(c);
        }
        }
    }

    std::string_view s_;
    std::size_t p_ = 0;
    DocumentBuilder& b_;
};

}  // namespace

namespace detail {

// The text, a view of `owner`, read; `owner` is taken only where it reads.
ReadResult openStepOf(std::string_view text, Bytes& owner) {
    return runReader([&] {
        DocumentBuilder builder(owner);
        std::uint32_t root = OpenStepReader(text, builder).document();
        return builder.finish(root, std::move(owner), false);  // a \U escape may make a lone surrogate
    });
}

ReadResult openStepFrom(Bytes& bytes) {
    ReadResult result;
    std::optional<std::string> converted;
    encoding::Detected detected;
    std::string_view text;
    if (!encoding::unicodeText(bytes, converted, detected, text)) {
        result.error = "not valid in its encoding";
        return result;
    }
    if (detected != encoding::Detected::Utf16 && !unicode::isValidUtf8(text)) {
        result.error = "invalid UTF-8";
        return result;
    }
    if (!converted) return openStepOf(text, bytes);
    Bytes owner(std::move(*converted));  // the text is the whole of it
    return openStepOf(owner, owner);
}

ReadResult openStepFromUtf16(Bytes& text) { return openStepOf(text, text); }

}  // namespace detail

}  // namespace plist
