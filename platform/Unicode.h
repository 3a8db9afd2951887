// Text helpers shared by the readers and the writer. Strings are held as
// UTF-8, with a lone UTF-16 surrogate kept in its three-byte form (as
// generalised UTF-8 does), so every UTF-16 string a binary file holds
// survives in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace plist::unicode {

// Appends a code point (a lone surrogate included) in UTF-8 form.
void append(std::string& out, std::uint32_t cp);

// Decodes one strictly valid UTF-8 sequence at text[pos]: no overlong forms,
// no surrogates, nothing above U+10FFFF. Returns its length, or 0 when the
// bytes there are not valid UTF-8.
std::size_t decode(std::string_view text, std::size_t pos, std::uint32_t& cp);

bool isValidUtf8(std::string_view text);

// Converts `count` UTF-16 code units, big-endian as a binary property list
// holds them, to the in-memory form. Pairs are combined; lone surrogates
// are kept.
void appendUtf16BigEndian(std::string& out, const unsigned char* bytes, std::size_t count);
// The same for little-endian units.
void appendUtf16LittleEndian(std::string& out, const unsigned char* bytes, std::size_t count);
// How many bytes appendUtf16BigEndian() would append.
std::size_t utf16BigEndianSize(const unsigned char* bytes, std::size_t count);

// True when the text holds a lone surrogate, which no UTF-8 file can carry.
bool hasLoneSurrogate(std::string_view text);

// Orders two strings as their UTF-16 code units compare, which is the order
// the property-list writer sorts dictionary keys in.
bool lessUtf16(std::string_view a, std::string_view b);

}  // namespace plist::unicode
