#include "Unicode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace plist::unicode {

void append(std::string& out, std::uint32_t cp) {
    char bytes[4];
    out.append(bytes, encode(bytes, cp));
}

namespace {

// Like decode(), but lets surrogates through: used on the in-memory form.
std::size_t decodeLoose(std::string_view s, std::size_t i, std::uint32_t& cp) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (len == 0 || c > 0xF4 || i + len > s.size()) return 0;
    cp = c & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char t = byte(i + k);
        if ((t & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (t & 0x3F);
    }
    static const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[len] || cp > 0x10FFFF) return 0;
    return len;
}

bool isSurrogate(std::uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

}  // namespace

std::size_t decode(std::string_view text, std::size_t pos, std::uint32_t& cp) {
    std::size_t len = decodeLoose(text, pos, cp);
    return len != 0 && !isSurrogate(cp) ? len : 0;
}

namespace {

// How many of the little-endian word's first bytes are well-formed
// sequences of two bytes (one to four of them) or of three (one or two):
// 0 where the first is neither. A lead of E0 or ED, whose second byte has
// a narrower range, is left to the walk by lead byte.
inline unsigned plainSequences(std::uint64_t w) {
    auto two = [](std::uint64_t x) { return (x & 0xC0E0) == 0x80C0 && (x & 0x1E) != 0; };  // not C0 or C1
    auto three = [](std::uint64_t x) {
        unsigned lead = x & 0xFF;
        return (x & 0xC0C0F0) == 0x8080E0 && lead != 0xE0 && lead != 0xED;
    };
    if (three(w)) return three(w >> 24) ? 6 : 3;
    if (!two(w)) return 0;
    if (!two(w >> 16)) return 2;
    if (!two(w >> 32)) return 4;
    return two(w >> 48) ? 8 : 6;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    // The well-formed sequences by their lead byte, as decode() reads them
    // (no overlong form, no surrogate, nothing past U+10FFFF), inline:
    // this runs over every text read and every one written. Runs of two-
    // and three-byte sequences (most text that is not ASCII) are taken a
    // word at a time.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    auto follows = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            p += asciiPrefix(p, static_cast<std::size_t>(end - p));
            continue;
        }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (unsigned plain = plainSequences(w)) {
                p += plain;
                continue;
            }
        }
#endif
        if (c >= 0xC2 && c <= 0xDF) {
            if (end - p < 2 || !follows(p[1])) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            unsigned char low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
            if (end - p < 3 || p[1] < low || p[1] > high || !follows(p[2])) return false;
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            unsigned char low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
            if (end - p < 4 || p[1] < low || p[1] > high || !follows(p[2]) || !follows(p[3])) return false;
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

namespace {

// Eight units as ASCII at `out`, where all eight are ASCII. A word at a
// time where the machine allows: in each 16-bit lane of a little-endian
// word, the unit's high byte and its low byte's top bit must be clear, and
// the low bytes are gathered four to a word.
template <bool BigEndian>
inline bool asciiUnits(const unsigned char* bytes, char* out) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr std::uint64_t kNotAscii = BigEndian ? 0x80FF80FF80FF80FFull : 0xFF80FF80FF80FF80ull;
    std::uint64_t w[2];
    std::memcpy(w, bytes, sizeof w);
    if ((w[0] | w[1]) & kNotAscii) return false;
    for (int k = 0; k < 2; ++k) {
        std::uint64_t x = (BigEndian ? w[k] >> 8 : w[k]) & 0x00FF00FF00FF00FFull;
        x = (x | x >> 8) & 0x0000FFFF0000FFFFull;
        auto four = static_cast<std::uint32_t>(x | x >> 16);
        std::memcpy(out + 4 * k, &four, 4);
    }
    return true;
#else
    unsigned any = 0;
    for (int k = 0; k < 8; ++k) any |= (bytes[2 * k + BigEndian] & 0x80) | bytes[2 * k + !BigEndian];
    if (any != 0) return false;
    for (int k = 0; k < 8; ++k) out[k] = static_cast<char>(bytes[2 * k + BigEndian]);
    return true;
#endif
}

// Four units at `out` as ASCII bytes, and how many of them, from the
// first, are ASCII: those bytes alone are to be kept.
template <bool BigEndian>
inline unsigned asciiUnitsOfFour(const unsigned char* bytes, char* out) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr std::uint64_t kNotAscii = BigEndian ? 0x80FF80FF80FF80FFull : 0xFF80FF80FF80FF80ull;
    std::uint64_t w;
    std::memcpy(&w, bytes, sizeof w);
    std::uint64_t x = (BigEndian ? w >> 8 : w) & 0x00FF00FF00FF00FFull;
    x = (x | x >> 8) & 0x0000FFFF0000FFFFull;
    auto four = static_cast<std::uint32_t>(x | x >> 16);
    std::memcpy(out, &four, 4);
    std::uint64_t high = w & kNotAscii;
    return high == 0 ? 4 : static_cast<unsigned>(__builtin_ctzll(high)) / 16;
#else
    unsigned k = 0;
    while (k < 4 && bytes[2 * k + !BigEndian] == 0 && bytes[2 * k + BigEndian] < 0x80)
        out[k] = static_cast<char>(bytes[2 * k + BigEndian]), ++k;
    return k;
#endif
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// Big-endian units four to a word, on a little-endian machine: in 16-bit
// lanes, each unit's high byte below its low byte. The top bit of each lane
// whose value is not zero (values below 0x8000).
constexpr std::uint64_t kLaneByte = 0x00FF00FF00FF00FFull, kLaneF8 = 0x00F800F800F800F8ull;
inline std::uint64_t nonzeroLanes(std::uint64_t x) {
    constexpr std::uint64_t kLow15 = 0x7FFF7FFF7FFF7FFFull;
    return (((x & kLow15) + kLow15) | x) & 0x8000800080008000ull;
}
inline std::uint64_t surrogateLanes(std::uint64_t w) {
    return ~nonzeroLanes((w & kLaneF8) ^ 0x00D800D800D800D8ull) & 0x8000800080008000ull;
}
#endif

// The units' UTF-8 at `p`, which has room for three bytes a unit and one
// more, so that a character costs a few stores and no check of room.
// Where it ends.
template <bool BigEndian>
char* unitsAt(char* p, const unsigned char* bytes, std::size_t count) {
    auto unit = [bytes](std::size_t i) {
        return std::uint32_t{bytes[2 * i + !BigEndian]} << 8 | bytes[2 * i + BigEndian];
    };
    for (std::size_t i = 0; i < count;) {
        std::uint32_t u = unit(i);
        if (u < 0x80) {
            // ASCII up to four at once, then eight at once while they
            // come: looked for after ASCII alone, as text in other
            // scripts has none. Four bytes are stored for as few as one
            // unit, within the room of three a unit.
            if (count - i < 4) {
                *p++ = static_cast<char>(u);
                ++i;
                continue;
            }
            unsigned k = asciiUnitsOfFour<BigEndian>(bytes + 2 * i, p);
            p += k, i += k;
            if (k == 4)
                for (; count - i >= 8 && asciiUnits<BigEndian>(bytes + 2 * i, p); i += 8) p += 8;
            continue;
        }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // Four units of three bytes each (most text in CJK scripts) at once,
        // looked for from one such unit.
        if (u >= 0x800 && count - i >= 4) {
            std::uint64_t w;
            std::memcpy(&w, bytes + 2 * i, 8);
            std::uint64_t high = BigEndian ? w & kLaneByte : w >> 8 & kLaneByte;
            if (nonzeroLanes(high & kLaneF8) == 0x8000800080008000ull && surrogateLanes(high) == 0) {
                for (int k = 0; k < 4; ++k, p += 3) {
                    std::uint32_t v = unit(i + k);
                    p[0] = static_cast<char>(0xE0 | v >> 12);
                    p[1] = static_cast<char>(0x80 | (v >> 6 & 0x3F));
                    p[2] = static_cast<char>(0x80 | (v & 0x3F));
                }
                i += 4;
                continue;
            }
        }
#endif
        // Two or three bytes, chosen without a branch: text that mixes
        // scripts would mispredict one on every other character.
        if ((u & 0xF800) != 0xD800) {
            bool three = u >= 0x800;
            p[0] = static_cast<char>(three ? 0xE0 | u >> 12 : 0xC0 | u >> 6);
            p[1] = static_cast<char>(0x80 | ((three ? u >> 6 : u) & 0x3F));
            p[2] = static_cast<char>(0x80 | (u & 0x3F));
            p += 2 + three;
            ++i;
            continue;
        }
        // A pair: four bytes for two units.
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
            std::uint32_t low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        p += encode(p, u);
        ++i;
    }
    return p;
}

// A chunk of units at a time through a buffer, a pair never split.
template <bool BigEndian>
void appendUnits(std::string& out, const unsigned char* bytes, std::size_t count) {
    constexpr std::size_t kChunk = 512;
    char buffer[3 * (kChunk + 1) + 1];
    for (std::size_t i = 0; i < count;) {
        std::size_t n = std::min(count - i, kChunk);
        unsigned char high = bytes[2 * (i + n - 1) + !BigEndian];
        if (n < count - i && high >= 0xD8 && high <= 0xDB) ++n;
        out.append(buffer, static_cast<std::size_t>(unitsAt<BigEndian>(buffer, bytes + 2 * i, n) - buffer));
        i += n;
    }
}

}  // namespace

void appendUtf16BigEndian(std::string& out, const unsigned char* bytes, std::size_t count) {
    appendUnits<true>(out, bytes, count);
}

void appendUtf16LittleEndian(std::string& out, const unsigned char* bytes, std::size_t count) {
    appendUnits<false>(out, bytes, count);
}

char* utf16BigEndianAt(char* out, const unsigned char* bytes, std::size_t count) {
    return unitsAt<true>(out, bytes, count);
}

namespace {

inline bool isSurrogateHigh(unsigned high) { return (high & 0xF8) == 0xD8; }

}  // namespace

bool utf16BigEndianHasSurrogate(const unsigned char* bytes, std::size_t count) {
    std::size_t i = 0;
    std::uint64_t any = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (; i + 4 <= count; i += 4) {
        std::uint64_t w;
        std::memcpy(&w, bytes + 2 * i, 8);
        any |= surrogateLanes(w);
    }
#endif
    for (; i < count; ++i) any |= isSurrogateHigh(bytes[2 * i]);
    return any != 0;
}

std::size_t utf16BigEndianSize(const unsigned char* bytes, std::size_t count) {
    // One, two or three bytes a unit, without a branch, four units at a
    // time where the machine allows: a binary file's every string that is
    // not ASCII is measured. A pair takes four bytes, not the six of two
    // lone surrogates; pairs are looked for only where there is a
    // surrogate at all.
    std::size_t size = count, i = 0;
    std::uint64_t surrogates = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (; i + 4 <= count; i += 4) {
        std::uint64_t w;
        std::memcpy(&w, bytes + 2 * i, 8);
        std::uint64_t high = w & kLaneByte, low = w >> 8 & kLaneByte;
        std::uint64_t from80 = nonzeroLanes(high | (low & 0x0080008000800080ull));
        std::uint64_t from800 = nonzeroLanes(high & kLaneF8);
        size += ((from80 >> 15) + (from800 >> 15)) * 0x0001000100010001ull >> 48;
        surrogates |= surrogateLanes(w);
    }
#endif
    for (; i < count; ++i) {
        unsigned high = bytes[2 * i], low = bytes[2 * i + 1];
        size += ((high | low >> 7) != 0) + (high >= 0x08);
        surrogates |= isSurrogateHigh(high);
    }
    if (surrogates)
        for (i = 0; i + 1 < count; ++i)
            if ((bytes[2 * i] & 0xFC) == 0xD8 && (bytes[2 * i + 2] & 0xFC) == 0xDC) {
                size -= 2;
                ++i;
            }
    return size;
}

bool hasLoneSurrogate(std::string_view text) {
    // What is not well formed is a surrogate or not even generalised
    // UTF-8: neither can be written.
    return !isValidUtf8(text);
}

bool convertedHasLoneSurrogate(std::string_view text) {
    // ED A0 to ED BF: ED leads U+D000 to U+D7FF otherwise.
    for (std::size_t at = text.find('\xED'); at != std::string_view::npos; at = text.find('\xED', at + 1))
        if (at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) >= 0xA0) return true;
    return false;
}

namespace {

// The first UTF-16 code unit of the code point, and the second (0 if none).
void units(std::uint32_t cp, std::uint32_t& first, std::uint32_t& second) {
    if (cp < 0x10000) {
        first = cp;
        second = 0;
    } else {
        first = 0xD800 + ((cp - 0x10000) >> 10);
        second = 0xDC00 + ((cp - 0x10000) & 0x3FF);
    }
}

}  // namespace

bool lessUtf16Slow(std::string_view a, std::string_view b);

int compareUtf16(std::string_view a, std::string_view b, std::size_t equalStart) {
    // UTF-8 bytes sort as code points do, which is UTF-16 order except where
    // a character from U+E000 to U+FFFF meets one above U+FFFF, or a lone
    // surrogate meets either: only there is the walk by code units needed.
    std::size_t n = std::min(a.size(), b.size()), k = equalStart;
    for (; n - k >= 8; k += 8) {  // a long shared start eight bytes at a time
        std::uint64_t x, y;
        std::memcpy(&x, a.data() + k, 8);
        std::memcpy(&y, b.data() + k, 8);
        if (x != y) break;
    }
    while (k < n && a[k] == b[k]) ++k;
    if (k == n) return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
    bool less = static_cast<unsigned char>(a[k]) < static_cast<unsigned char>(b[k]);
    while (k > 0 && (static_cast<unsigned char>(a[k]) & 0xC0) == 0x80) --k;  // back to the character's start
    // Below U+D000 a character's one code unit is below every unit of the other.
    if (std::min(static_cast<unsigned char>(a[k]), static_cast<unsigned char>(b[k])) >= 0xED)
        less = lessUtf16Slow(a.substr(k), b.substr(k));
    return less ? -1 : 1;
}

bool lessUtf16Slow(std::string_view a, std::string_view b) {
    struct Units {
        std::string_view s;
        std::size_t i = 0;
        std::uint32_t pending = 0;  // second unit of a pair, still to compare
        bool done() const { return i >= s.size() && pending == 0; }
        std::uint32_t next() {
            std::uint32_t u;
            if (pending != 0) {
                u = pending;
                pending = 0;
                return u;
            }
            std::uint32_t cp;
            std::size_t len = decodeLoose(s, i, cp);
            if (len == 0) cp = static_cast<unsigned char>(s[i]), len = 1;
            i += len;
            units(cp, u, pending);
            return u;
        }
    } x{a}, y{b};
    while (!x.done() && !y.done()) {
        std::uint32_t ua = x.next(), ub = y.next();
        if (ua != ub) return ua < ub;
    }
    return x.done() && !y.done();
}

}  // namespace plist::unicode
