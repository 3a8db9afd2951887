// Turning the bytes of a text property list into the UTF-8 the readers scan.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plist::encoding {

enum class Detected { None, Utf8Bom, Utf16, Utf32 };

// Looks for a byte-order mark (UTF-8, UTF-16 or UTF-32), or a zero byte in
// either of the first two bytes (UTF-16 without a mark). On return `text`
// views the text to scan: the input itself (less a UTF-8 mark) or
// `converted`. Returns false when the bytes are not valid in the encoding
// found. Text from UTF-16 keeps lone surrogates (see Unicode.h).
bool unicodeText(std::string_view bytes, std::optional<std::string>& converted, Detected& detected,
                 std::string_view& text);

// Where the units of UTF-16 text start, and their order, in a file whose
// first bytes (four at least) are `head`; false where unicodeText() would
// not take the file for UTF-16.
bool utf16Start(std::string_view head, std::size_t& skip, bool& bigEndian);

// UTF-16 text converted a piece at a time, as it is read, to the text
// unicodeText() makes of it whole; the file itself is then never held.
class Utf16Converter {
public:
    Utf16Converter(bool bigEndian, std::size_t expectedBytes);
    void add(const char* bytes, std::size_t n);
    std::string finish();

private:
    std::size_t convert(const char* bytes, std::size_t n, bool last);  // the bytes it took
    bool bigEndian_;
    std::string out_;
    std::string held_;  // at most three bytes, to be joined to the next
};

// The bytes in the named character set (an IANA name such as ISO-8859-1,
// windows-1252 or macintosh) as UTF-8; nothing when the name is unknown or
// the bytes are not valid in it.
std::optional<std::string> fromCharset(std::string_view bytes, std::string_view name);

// Whether a character-set name, matched as Foundation matches it, is UTF-8.
bool namesUtf8(std::string_view name);

}  // namespace plist::encoding
