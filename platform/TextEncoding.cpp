#include "TextEncoding.h"

#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <cstdint>
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
    out.reserve(bytes.size());
    if (unitSize == 2) {
        std::vector<std::uint16_t> units(n);
        for (std::size_t i = 0; i < n; ++i) units[i] = static_cast<std::uint16_t>(unit(i * 2));
        unicode::appendUtf16(out, units.data(), n);
        return out;
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t cp = unit(i * 4);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        unicode::append(out, cp);
    }
    return out;
}

// Names Foundation knows whose iconv spelling differs.
const char* iconvName(const std::string& name) {
    static const std::pair<const char*, const char*> aliases[] = {
        {"macintosh", "MACINTOSH"}, {"x-mac-roman", "MACINTOSH"}, {"mac", "MACINTOSH"},
        {"x-nextstep", "NEXTSTEP"},  {"shift_jis", "SHIFT_JIS"},
    };
    for (const auto& a : aliases)
        if (strcasecmp(name.c_str(), a.first) == 0) return a.second;
    return name.c_str();
}

}  // namespace

bool unicodeText(std::string_view bytes, std::optional<std::string>& converted, Detected& detected,
                 std::string_view& text) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t n = bytes.size();
    detected = Detected::None;
    text = bytes;
    if (n >= 4 && byte(0) == 0xFF && byte(1) == 0xFE && byte(2) == 0 && byte(3) == 0) {
        detected = Detected::Utf32;
        converted = fromUnicode(bytes.substr(4), 4, false);
    } else if (n >= 4 && byte(0) == 0 && byte(1) == 0 && byte(2) == 0xFE && byte(3) == 0xFF) {
        detected = Detected::Utf32;
        converted = fromUnicode(bytes.substr(4), 4, true);
    } else if (n > 2 && (byte(0) == 0xFE && byte(1) == 0xFF)) {
        detected = Detected::Utf16;
        converted = fromUnicode(bytes.substr(2), 2, true);
    } else if (n > 2 && (byte(0) == 0xFF && byte(1) == 0xFE)) {
        detected = Detected::Utf16;
        converted = fromUnicode(bytes.substr(2), 2, false);
    } else if (n > 2 && (byte(0) == 0 || byte(1) == 0)) {
        detected = Detected::Utf16;
        converted = fromUnicode(bytes, 2, byte(0) == 0);
    } else if (n > 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        detected = Detected::Utf8Bom;
        text = bytes.substr(3);
        return true;
    } else {
        return true;
    }
    if (!converted) return false;
    text = *converted;
    return true;
}

std::optional<std::string> fromCharset(std::string_view bytes, std::string_view name) {
    std::string charset(name);
    iconv_t cd = iconv_open("UTF-8", iconvName(charset));
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
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
