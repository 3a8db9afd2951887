// The text of the scalars the XML format holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "Document.h"

namespace plist::detail {

// Decimal digits written backwards, to end just before `end`.
std::string_view integerText(const Scalar& v, char* end);

// The real a decimal text stands for, as strtod reads it, where that is
// quick to work out exactly: up to 19 digits, a normal double, and not all
// but halfway between two. False elsewhere, and for any text strtod would
// not read to its end.
bool realFromText(std::string_view text, double& value);

// A date as the XML format writes it, in UTC.
std::string_view dateText(double seconds, char* buf, std::size_t size);

// The text of reals, remembered by their bits: a binary file holds each
// distinct real once and refers to it from everywhere, and "%.17g" is dear.
// A text of up to kRoom bytes is a view of a slot's kRoom bytes or more.
class RealTexts {
public:
    std::string_view text(double d) {
        std::uint64_t bits;
        std::memcpy(&bits, &d, 8);
        Slot& slot = slots_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
        if (slot.length == 0 || slot.bits != bits) {
            char buf[64];
            std::string_view t = realText(d, buf, sizeof buf);
            std::size_t n = t.size();
            if (n >= sizeof slot.text) return cold_.assign(t.data(), n);
            // The whole of the slot in one copy, whatever the text's length.
            if (t.data() != buf) std::memcpy(buf, t.data(), n);
            std::memcpy(slot.text, buf, sizeof slot.text);
            slot.length = static_cast<unsigned char>(n);
            slot.bits = bits;
        }
        return std::string_view(slot.text, slot.length);
    }

    static constexpr std::size_t kRoom = 24;  // any "%.17g" takes 24 at most

    // NUL-terminated in `buf` or in static memory; `buf` needs room for 48
    // bytes, for the quick way.
    static std::string_view realText(double d, char* buf, std::size_t size);

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

}  // namespace plist::detail
