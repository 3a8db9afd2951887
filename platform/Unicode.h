// Text helpers shared by the readers and the writer. Strings are held as
// UTF-8, with a lone UTF-16 surrogate kept in its three-byte form (as
// generalised UTF-8 does), so every UTF-16 string a binary file holds
// survives in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace plist::unicode {

// Writes the code point's UTF-8 form at p (a lone surrogate in its
// three-byte form); returns its length.
inline std::size_t encode(char* p, std::uint32_t cp) {
    if (cp < 0x80) {
        p[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        p[0] = static_cast<char>(0xC0 | (cp >> 6));
        p[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        p[0] = static_cast<char>(0xE0 | (cp >> 12));
        p[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        p[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    p[0] = static_cast<char>(0xF0 | (cp >> 18));
    p[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    p[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    p[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Appends a code point (a lone surrogate included) in UTF-8 form.
void append(std::string& out, std::uint32_t cp);

// Decodes one strictly valid UTF-8 sequence at text[pos]: no overlong forms,
// no surrogates, nothing above U+10FFFF. Returns its length, or 0 when the
// bytes there are not valid UTF-8.
std::size_t decode(std::string_view text, std::size_t pos, std::uint32_t& cp);

bool isValidUtf8(std::string_view text);

// Eight bytes at a time: the top bit of each byte of `word` that is `c`.
// Only the lowest flag is sure; a false one may follow a true one.
inline std::uint64_t bytesEqual(std::uint64_t word, unsigned char c) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    std::uint64_t x = word ^ (kOnes * c);
    return (x - kOnes) & ~x & (kOnes << 7);
}

// How many bytes, in memory order, come before the first flagged: 8 where
// none is. Without little-endian order at hand, 0 where any is, so that
// the caller looks at those bytes one by one.
inline unsigned bytesBefore(std::uint64_t flags) {
    if (flags == 0) return 8;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return static_cast<unsigned>(__builtin_ctzll(flags)) / 8;
#else
    return 0;
#endif
}

// How many of the n bytes at p lead as ASCII, eight at a time, the first
// byte that is not found in its word at once.
inline std::size_t asciiPrefix(const unsigned char* p, std::size_t n) {
    std::size_t k = 0;
    while (n - k >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p + k, 8);
        if (std::uint64_t high = w & 0x8080808080808080ull) {
            k += bytesBefore(high);
            break;
        }
        k += 8;
    }
    while (k < n && p[k] < 0x80) ++k;
    return k;
}

// Converts `count` UTF-16 code units, big-endian as a binary property list
// holds them, to the in-memory form. Pairs are combined; lone surrogates
// are kept.
void appendUtf16BigEndian(std::string& out, const unsigned char* bytes, std::size_t count);
// The same for little-endian units.
void appendUtf16LittleEndian(std::string& out, const unsigned char* bytes, std::size_t count);
// The same at `out`, which has room for three bytes a unit and one more;
// where the text ends.
char* utf16BigEndianAt(char* out, const unsigned char* bytes, std::size_t count);
// How many bytes appendUtf16BigEndian() would append.
std::size_t utf16BigEndianSize(const unsigned char* bytes, std::size_t count);
// Whether any of the units is a surrogate, paired or not.
bool utf16BigEndianHasSurrogate(const unsigned char* bytes, std::size_t count);

// True when the text holds a lone surrogate, which no UTF-8 file can carry.
bool hasLoneSurrogate(std::string_view text);
// The same for text converted from UTF-16, well formed but for those: a
// search for their three-byte form alone.
bool convertedHasLoneSurrogate(std::string_view text);

// Orders two strings as their UTF-16 code units compare, which is the order
// the property-list writer sorts dictionary keys in: below 0, 0 or above as
// `a` comes before `b`, is equal or comes after. `equalStart`: how many
// bytes the two are known to start with alike, at most the shorter's size.
int compareUtf16(std::string_view a, std::string_view b, std::size_t equalStart = 0);
inline bool lessUtf16(std::string_view a, std::string_view b) { return compareUtf16(a, b) < 0; }

}  // namespace plist::unicode
