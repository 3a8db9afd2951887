#include "TextEncoding.h"

#include <iconv.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "Unicode.h"

namespace plist::encoding {

namespace {

std::optional<std::string> fromUnicode(std::string_view bytes, int unitSize, bool bigEndian) {
    auto unit = [&](std::size_t i) {
        std::uint32_t v = 0;
        for (int k = 0; k < unitSize; ++k)
            v = (v << 8) | static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(bigEndian ? k : unitSize - 1 - k)]);
        return v;
    };
    std::size_t n = bytes.size() / static_cast<std::size_t>(unitSize);
    std::string out;
    if (unitSize == 2) {
        out.reserve(n + n / 2);
        const auto* units = reinterpret_cast<const unsigned char*>(bytes.data());
        if (bigEndian) unicode::appendUtf16BigEndian(out, units, n);
        else unicode::appendUtf16LittleEndian(out, units, n);
        return out;
    }
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t cp = unit(i * 4);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        unicode::append(out, cp);
    }
    return out;
}

// A name as ICU compares charset names: letters in lower case, digits, and
// nothing else, a zero that starts a number left out ("UTF/8", "utf8" and
// "UTF-08" are one name).
std::string looseName(std::string_view name) {
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::string out;
    bool afterDigit = false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c >= 'a' && c <= 'z') {
            afterDigit = false;
        } else if (c == '0') {
            if (!afterDigit && i + 1 < name.size() && isDigit(name[i + 1])) continue;
        } else if (isDigit(c)) {
            afterDigit = true;
        } else {
            afterDigit = false;
            continue;
        }
        out += c;
    }
    return out;
}

// The character sets a property list may name, each with the iconv name for
// it first and then the names and aliases it goes by.
const std::vector<std::vector<const char*>>& knownCharsets() {
    static const std::vector<std::vector<const char*>> sets = {
        {"UTF-8", "utf-8", "unicode-1-1-utf-8", "unicode-2-0-utf-8", "x-unicode20utf8", "cp65001", "ibm-1208"},
        {"UTF-16", "utf-16", "iso-10646-ucs-2", "ucs-2", "unicode", "csUnicode", "unicode-1-1"},
        {"UTF-16BE", "utf-16be", "x-utf-16be", "UnicodeBigUnmarked", "ibm-1200", "cp1201"},
        {"UTF-16LE", "utf-16le", "x-utf-16le", "UnicodeLittleUnmarked", "ibm-1202", "cp1200"},
        {"UTF-32", "utf-32", "iso-10646-ucs-4", "ucs-4", "csUCS4"},
        {"UTF-32BE", "utf-32be", "UTF32_BigEndian", "ibm-1232"},
        {"UTF-32LE", "utf-32le", "UTF32_LittleEndian", "ibm-1234"},
        {"US-ASCII", "us-ascii", "ascii", "ANSI_X3.4-1968", "ANSI_X3.4-1986", "ISO_646.irv:1991", "iso646-us", "us",
         "ibm367", "cp367", "csASCII", "iso-ir-6", "646", "ascii7"},
        {"ISO-8859-1", "iso-8859-1", "latin1", "l1", "ibm819", "cp819", "csISOLatin1", "iso-ir-100", "8859_1"},
        {"ISO-8859-2", "iso-8859-2", "latin2", "l2", "csISOLatin2", "iso-ir-101", "ibm-912", "cp912", "8859_2"},
        {"ISO-8859-3", "iso-8859-3", "latin3", "l3", "csISOLatin3", "iso-ir-109", "ibm-913", "8859_3"},
        {"ISO-8859-4", "iso-8859-4", "latin4", "l4", "csISOLatin4", "iso-ir-110", "ibm-914", "8859_4"},
        {"ISO-8859-5", "iso-8859-5", "cyrillic", "csISOLatinCyrillic", "iso-ir-144", "ibm-915", "8859_5"},
        {"ISO-8859-6", "iso-8859-6", "arabic", "csISOLatinArabic", "iso-ir-127", "ecma-114", "asmo-708", "8859_6"},
        {"ISO-8859-7", "iso-8859-7", "greek", "greek8", "csISOLatinGreek", "iso-ir-126", "ecma-118", "elot_928",
         "8859_7"},
        {"ISO-8859-8", "iso-8859-8", "hebrew", "csISOLatinHebrew", "iso-ir-138", "ibm-916", "8859_8"},
        {"ISO-8859-9", "iso-8859-9", "latin5", "l5", "csISOLatin5", "iso-ir-148", "ibm-920", "8859_9"},
        {"ISO-8859-10", "iso-8859-10", "latin6", "l6", "csISOLatin6", "iso-ir-157"},
        {"ISO-8859-11", "iso-8859-11", "tis-620", "x-iso-8859-11"},
        {"ISO-8859-13", "iso-8859-13", "latin7", "l7", "ibm-921", "8859_13"},
        {"ISO-8859-14", "iso-8859-14", "latin8", "l8", "iso-celtic", "iso-ir-199"},
        {"ISO-8859-15", "iso-8859-15", "latin9", "latin-9", "l9", "csisolatin9", "ibm-923", "8859_15"},
        {"ISO-8859-16", "iso-8859-16", "latin10", "l10", "iso-ir-226"},
        {"MACINTOSH", "macintosh", "mac", "macroman", "x-mac-roman", "csMacintosh", "macos-0_2-10.2"},
        {"NEXTSTEP", "x-nextstep", "nextstep"},
        {"SHIFT_JIS", "shift_jis", "sjis", "ms_kanji", "csShiftJIS", "x-sjis"},
        {"CP932", "windows-31j", "cswindows31j", "ms932", "windows-932", "cp932"},
        {"EUC-JP", "euc-jp", "x-euc-jp", "csEUCPkdFmtJapanese", "Extended_UNIX_Code_Packed_Format_for_Japanese"},
        {"ISO-2022-JP", "iso-2022-jp", "csISO2022JP"},
        {"EUC-KR", "euc-kr", "csEUCKR", "5601"},
        {"CP949", "windows-949", "ks_c_5601-1987", "ks_c_5601-1989", "ksc_5601", "csKSC56011987", "ms949"},
        {"GB2312", "gb2312", "csGB2312", "euc-cn", "x-euc-cn", "gb2312-80"},
        {"GBK", "gbk", "cp936", "ms936", "windows-936"},
        {"GB18030", "gb18030", "ibm-1392", "windows-54936"},
        {"BIG5", "big5", "csBig5", "x-x-big5", "windows-950", "ms950", "cp950"},
        {"KOI8-R", "koi8-r", "csKOI8R", "koi8"},
        {"KOI8-U", "koi8-u"},
        {"CP437", "ibm437", "cp437", "437", "csPC8CodePage437"},
        {"CP850", "ibm850", "cp850", "850", "csPC850Multilingual"},
        {"CP866", "ibm866", "cp866", "866", "csIBM866"},
    };
    return sets;
}

// The iconv name for a Windows code page number, or nothing.
std::string codePageCharset(long page) {
    if (page >= 1250 && page <= 1258) return "CP" + std::to_string(page);
    if (page >= 28591 && page <= 28606) return "ISO-8859-" + std::to_string(page - 28590);
    switch (page) {
    case 437: case 737: case 775: case 850: case 852: case 855: case 857: case 860: case 861: case 862:
    case 863: case 864: case 865: case 866: case 869: case 874: case 932: case 936: case 949: case 950:
    case 1361:
        return "CP" + std::to_string(page);
    case 10000: return "MACINTOSH";
    case 20127: return "US-ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 50220: return "ISO-2022-JP";
    case 51932: return "EUC-JP";
    case 51936: return "GB2312";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    case 65001: return "UTF-8";
    default: return std::string();
    }
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

// The character set a name selects, as Foundation finds it: ISO-8859-n,
// cp<n> and windows-<n> by the number that follows (as strtol reads it),
// then the names and aliases ICU knows, compared loosely (see looseName);
// the iconv name for it, or nothing.
std::string charsetFor(std::string_view name) {
    std::string text(name);
    if (startsWithNoCase(text, "iso-8859-")) {
        long n = std::strtol(text.c_str() + 9, nullptr, 10);
        if (n >= 1 && n <= 16) return "ISO-8859-" + std::to_string(n);
    }
    for (std::string_view prefix : {std::string_view("cp"), std::string_view("windows-")}) {
        if (!startsWithNoCase(text, prefix)) continue;
        std::string charset = codePageCharset(std::strtol(text.c_str() + prefix.size(), nullptr, 10));
        if (!charset.empty()) return charset;
    }
    std::string loose = looseName(name);
    for (const auto& set : knownCharsets())
        for (std::size_t k = 1; k < set.size(); ++k)
            if (looseName(set[k]) == loose) return set[0];
    return std::string();
}

}  // namespace

namespace {

// What the first bytes say the text is, how many of them its mark takes,
// and the order of its units.
Detected detect(std::string_view bytes, std::size_t& skip, bool& bigEndian) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t n = bytes.size();
    skip = 0;
    bigEndian = false;
    if (n >= 4 && byte(0) == 0xFF && byte(1) == 0xFE && byte(2) == 0 && byte(3) == 0) return skip = 4, Detected::Utf32;
    if (n >= 4 && byte(0) == 0 && byte(1) == 0 && byte(2) == 0xFE && byte(3) == 0xFF)
        return skip = 4, bigEndian = true, Detected::Utf32;
    if (n > 2 && byte(0) == 0xFE && byte(1) == 0xFF) return skip = 2, bigEndian = true, Detected::Utf16;
    if (n > 2 && byte(0) == 0xFF && byte(1) == 0xFE) return skip = 2, Detected::Utf16;
    if (n > 2 && (byte(0) == 0 || byte(1) == 0)) return bigEndian = byte(0) == 0, Detected::Utf16;
    if (n > 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) return skip = 3, Detected::Utf8Bom;
    return Detected::None;
}

}  // namespace

bool unicodeText(std::string_view bytes, std::optional<std::string>& converted, Detected& detected,
                 std::string_view& text) {
    std::size_t skip;
    bool bigEndian;
    detected = detect(bytes, skip, bigEndian);
    text = bytes.substr(skip);
    if (detected == Detected::None || detected == Detected::Utf8Bom) return true;
    converted = fromUnicode(text, detected == Detected::Utf16 ? 2 : 4, bigEndian);
    if (!converted) return false;
    text = *converted;
    return true;
}

bool utf16Start(std::string_view head, std::size_t& skip, bool& bigEndian) {
    return head.size() >= 4 && detect(head, skip, bigEndian) == Detected::Utf16;
}

Utf16Converter::Utf16Converter(bool bigEndian, std::size_t expectedBytes) : bigEndian_(bigEndian) {
    out_.reserve(expectedBytes / 2 + expectedBytes / 4);  // as fromUnicode() reserves
}

std::size_t Utf16Converter::convert(const char* bytes, std::size_t n, bool last) {
    const auto* units = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t count = n / 2;
    // A high surrogate at the end waits for the low one that may follow.
    if (!last && count > 0) {
        unsigned char high = units[2 * count - (bigEndian_ ? 2 : 1)];
        if (high >= 0xD8 && high <= 0xDB) --count;
    }
    if (bigEndian_) unicode::appendUtf16BigEndian(out_, units, count);
    else unicode::appendUtf16LittleEndian(out_, units, count);
    return 2 * count;
}

void Utf16Converter::add(const char* bytes, std::size_t n) {
    // What was held back (an odd byte, a high surrogate, or both) is
    // completed from the new bytes first, a unit or two at a time.
    while (!held_.empty() && n > 0) {
        std::size_t take = std::min(n, 4 - held_.size());
        held_.append(bytes, take);
        bytes += take, n -= take;
        held_.erase(0, convert(held_.data(), held_.size(), false));
    }
    if (n == 0) return;
    std::size_t used = convert(bytes, n, false);
    held_.assign(bytes + used, n - used);
}

std::string Utf16Converter::finish() {
    convert(held_.data(), held_.size(), true);  // an odd byte at the end is dropped, as a whole read drops it
    held_.clear();
    return std::move(out_);
}

bool namesUtf8(std::string_view name) { return charsetFor(name) == "UTF-8"; }

namespace {

// Character sets of one byte a character whose converters keep no state,
// in every iconv: their text converts a byte at a time to what it converts
// to whole. (Not CP1255 or CP1258, whose converters join a letter to the
// accent after it.)
bool bytewise(const std::string& charset) {
    static const char* const sets[] = {"US-ASCII", "MACINTOSH", "KOI8-R", "KOI8-U", "CP437", "CP850", "CP866",
                                       "CP1250",   "CP1251",    "CP1252", "CP1253", "CP1254", "CP1256", "CP1257"};
    return startsWithNoCase(charset, "ISO-8859-") ||
           std::any_of(std::begin(sets), std::end(sets), [&](const char* set) { return charset == set; });
}

// The text converted through a table of what iconv makes of each byte
// alone, ASCII copied a run at a time: a call into iconv for each
// character costs several times the rest of the read. Nothing when the
// table cannot be made (a byte that leaves iconv waiting for more, or
// whose conversion leaves something behind), so that iconv converts the
// whole text instead, and `failed` set as well where a byte is not valid
// in the character set.
std::optional<std::string> throughTable(iconv_t cd, std::string_view bytes, bool& failed) {
    struct Character {
        char utf8[4];
        unsigned char size;  // 0: not valid
    } table[256];
    bool asciiKept = true;
    for (unsigned b = 0; b < 256; ++b) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char byte = static_cast<char>(b), *in = &byte, out[8] = {}, *to = out;
        std::size_t inLeft = 1, outLeft = sizeof out;
        std::size_t r = iconv(cd, &in, &inLeft, &to, &outLeft);
        if (r == static_cast<std::size_t>(-1) && errno != EILSEQ) return std::nullopt;
        std::size_t size = sizeof out - outLeft;
        if (iconv(cd, nullptr, nullptr, &to, &outLeft) == static_cast<std::size_t>(-1) ||
            sizeof out - outLeft != size || size > 3 || (r != static_cast<std::size_t>(-1)) != (size > 0))
            return std::nullopt;
        table[b].size = static_cast<unsigned char>(size);
        std::memcpy(table[b].utf8, out, 4);
        asciiKept = asciiKept && (b >= 0x80 || (size == 1 && out[0] == byte));
    }
    if (!asciiKept) return std::nullopt;
    // Sized first, so that the text takes no room it does not fill: the
    // walk counts where `out` is null, and writes a character's fourth byte
    // past the last where it is not. npos for a byte not valid in the set.
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    auto walk = [&](char* out) {
        std::size_t size = 0;
        for (std::size_t k = 0, n = bytes.size(); k < n;) {
            std::size_t ascii = unicode::asciiPrefix(p + k, n - k);
            if (out) std::memcpy(out + size, p + k, ascii);
            size += ascii, k += ascii;
            if (k == n) break;
            const Character& c = table[p[k++]];
            if (c.size == 0) return std::string::npos;
            if (out) std::memcpy(out + size, c.utf8, 4);
            size += c.size;
        }
        return size;
    };
    std::size_t size = walk(nullptr);
    if (size == std::string::npos) return failed = true, std::nullopt;
    std::string text(size + 1, '\0');
    walk(text.data());
    text.resize(size);
    return text;
}

}  // namespace

std::optional<std::string> fromCharset(std::string_view bytes, std::string_view name) {
    // A name Foundation does not know may still be one iconv knows.
    std::string charset = charsetFor(name);
    if (charset.empty()) charset = std::string(name);
    iconv_t cd = iconv_open("UTF-8", charset.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    if (bytewise(charset)) {
        bool failed = false;
        std::optional<std::string> text = throughTable(cd, bytes, failed);
        if (text || failed) {
            iconv_close(cd);
            return text;
        }
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Most text grows little in UTF-8; grow the output only when it must.
    std::string out(bytes.size() + bytes.size() / 2 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size(), used = 0;
    bool ok = true;
    while (inLeft > 0) {
        char* to = &out[used];
        std::size_t outLeft = out.size() - used;
        std::size_t r = iconv(cd, &in, &inLeft, &to, &outLeft);
        used = out.size() - outLeft;
        if (r != static_cast<std::size_t>(-1)) continue;
        if (errno != E2BIG) {
            ok = false;
            break;
        }
        out.resize(out.size() * 2);
    }
    iconv_close(cd);
    if (!ok) return std::nullopt;
    out.resize(used);
    return out;
}

}  // namespace plist::encoding
