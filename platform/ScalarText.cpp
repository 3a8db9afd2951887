#include "ScalarText.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace plist::detail {

namespace {

constexpr std::int64_t kDaysTo2001 = 11323;  // 1970-01-01 to 2001-01-01

#ifdef __SIZEOF_INT128__
__extension__ typedef unsigned __int128 u128;  // a compiler extension, hence the guard

struct Powers {
    u128 of[23];
    constexpr Powers() : of() {
        u128 p = 1;
        for (u128& v : of) v = p, p *= 10;
    }
};
constexpr Powers kPowers;

u128 pow10(int k) { return kPowers.of[k]; }

// The 17 significant digits of a positive, finite `d` and its decimal
// exponent, rounded as printf rounds: to nearest, ties to even. Exact
// arithmetic in 128 bits reaches from about 1e-6 to 1e38; elsewhere false.
bool digits17(double d, std::uint64_t& digits, int& exponent) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    int biased = static_cast<int>(bits >> 52 & 0x7FF);
    if (biased == 0) return false;
    std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | std::uint64_t{1} << 52;
    int e2 = biased - 1075;  // d = m * 2^e2
    int x = static_cast<int>(std::floor((e2 + 52) * 0.30102999566398120));
    const u128 low = pow10(16), high = low * 10;
    for (int tries = 0; tries < 3; ++tries) {
        int k = 16 - x;  // d * 10^k has 17 digits before the point when x is right
        if (k > 22 || k < -22) return false;
        u128 q, rest, unit;  // d * 10^k = q + rest / unit
        if (k >= 0) {
            u128 n = m * pow10(k);
            if (e2 >= 0) {
                if (e2 > 127 || n >> (127 - e2) != 0) return false;
                q = n << e2, rest = 0, unit = 1;
            } else {
                if (-e2 > 126) return false;
                unit = u128{1} << -e2;
                q = n >> -e2, rest = n & (unit - 1);
            }
        } else {
            if (e2 < 0 || e2 > 74) return false;
            u128 n = u128{m} << e2;
            unit = pow10(-k);
            q = n / unit, rest = n % unit;
        }
        if (q < low) {
            --x;
            continue;
        }
        if (q >= high) {
            ++x;
            continue;
        }
        if (2 * rest > unit || (2 * rest == unit && (q & 1))) ++q;
        if (q == high) q = low, ++x;
        digits = static_cast<std::uint64_t>(q);
        exponent = x;
        return true;
    }
    return false;
}

// "%.17g" from the digits: of the two styles printf chooses between, the
// one the exponent asks for, the fraction's trailing zeros dropped.
void g17(bool negative, std::uint64_t digits, int x, char* out) {
    char d[17];
    for (int i = 16; i >= 0; --i) d[i] = static_cast<char>('0' + digits % 10), digits /= 10;
    int last = 16;
    while (d[last] == '0') --last;
    if (negative) *out++ = '-';
    if (x < -4 || x >= 17) {
        *out++ = d[0];
        if (last > 0) *out++ = '.', out = std::copy(d + 1, d + last + 1, out);
        *out++ = 'e';
        *out++ = x < 0 ? '-' : '+';
        int a = x < 0 ? -x : x;
        if (a >= 100) *out++ = static_cast<char>('0' + a / 100);
        *out++ = static_cast<char>('0' + a / 10 % 10);
        *out++ = static_cast<char>('0' + a % 10);
    } else if (x >= 0) {
        out = std::copy(d, d + x + 1, out);
        if (last > x) *out++ = '.', out = std::copy(d + x + 1, d + last + 1, out);
    } else {
        *out++ = '0', *out++ = '.';
        for (int z = -x - 1; z > 0; --z) *out++ = '0';
        out = std::copy(d, d + last + 1, out);
    }
    *out = '\0';
}

// 2^e for a normal double's exponent: multiplying by it is exact, and
// cheaper than ldexp().
double pow2(int e) {
    std::uint64_t bits = static_cast<std::uint64_t>(e + 1023) << 52;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// `v` as a double, rounded to nearest: the bits below the 64 kept stand
// as one sticky bit, so that the one rounding to 53 bits is the right one.
double toDouble(u128 v) {
    std::uint64_t high = static_cast<std::uint64_t>(v >> 64);
    if (high == 0) return static_cast<double>(static_cast<std::uint64_t>(v));
    int shift = 64 - __builtin_clzll(high);
    std::uint64_t top = static_cast<std::uint64_t>(v >> shift);
    if ((v & ((u128{1} << shift) - 1)) != 0) top |= 1;
    return static_cast<double>(top) * pow2(shift);
}
#endif

}  // namespace

bool realFromText(std::string_view t, double& value) {
#ifdef __SIZEOF_INT128__
    std::size_t i = 0, n = t.size();
    bool negative = i < n && t[i] == '-';
    if (i < n && (t[i] == '-' || t[i] == '+')) ++i;
    std::uint64_t w = 0;
    int digits = 0, exponent = 0;
    bool any = false;
    // The digits before the point, then those after it, which lower the
    // exponent.
    auto run = [&](int step) {
        for (; i < n; ++i) {
            unsigned d = static_cast<unsigned>(static_cast<unsigned char>(t[i])) - '0';
            if (d > 9) break;
            any = true;
            if (w == 0 && d == 0) {
                // Leading zeros after the point lower the exponent too; past
                // any a double can show, strtod takes over before it could
                // overflow.
                if ((exponent -= step) < -10000) return false;
                continue;
            }
            if (++digits > 19) return false;
            w = w * 10 + d;
            exponent -= step;
        }
        return true;
    };
    if (!run(0)) return false;
    if (i < n && t[i] == '.' && (++i, !run(1))) return false;
    if (!any) return false;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        bool down = i < n && t[i] == '-';
        if (i < n && (t[i] == '-' || t[i] == '+')) ++i;
        if (i == n) return false;
        int e = 0;
        for (; i < n && t[i] >= '0' && t[i] <= '9'; ++i)
            if ((e = e * 10 + (t[i] - '0')) > 10000) return false;
        exponent += down ? -e : e;
    }
    if (i != n) return false;
    if (w == 0) {
        value = negative ? -0.0 : 0.0;
        return true;
    }
    if (exponent > 22 || exponent < -22) return false;
    double d;
    if (w <= std::uint64_t{1} << 53) {
        // Both exact as doubles, so one rounding: the product's or quotient's.
        double scale = toDouble(pow10(exponent < 0 ? -exponent : exponent));
        d = exponent < 0 ? static_cast<double>(w) / scale : static_cast<double>(w) * scale;
    } else if (exponent >= 0) {
        if (w > ~u128{0} / pow10(exponent)) return false;
        d = toDouble(w * pow10(exponent));
    } else {
        // w / 10^-exponent with w's top bit at the top: the quotient has
        // 54 bits at least, the remainder's only part is to be nonzero.
        int shift = 64 + __builtin_clzll(w);
        u128 scaled = u128{w} << shift, unit = pow10(-exponent);
        u128 q = scaled / unit;
        d = toDouble(q << 1 | (scaled - q * unit != 0)) * pow2(-shift - 1);  // within the normal range
    }
    value = negative ? -d : d;
    return true;
#else
    (void)t, (void)value;
    return false;
#endif
}

const char* RealTexts::realText(double d, char* buf, std::size_t size) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
    if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";  // Foundation drops the sign of -0.0
#ifdef __SIZEOF_INT128__
    std::uint64_t digits;
    int exponent;
    if (size >= 32 && digits17(std::fabs(d), digits, exponent)) {
        g17(d < 0, digits, exponent, buf);
        return buf;
    }
#endif
    std::snprintf(buf, size, "%.17g", d);
    return buf;
}

namespace {

// "00" to "99", two digits a step.
struct DigitPairs {
    char text[200];
};
constexpr DigitPairs digitPairs() {
    DigitPairs d{};
    for (int i = 0; i < 100; ++i) {
        d.text[2 * i] = static_cast<char>('0' + i / 10);
        d.text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return d;
}
constexpr DigitPairs kDigitPairs = digitPairs();

}  // namespace

std::string_view integerText(const Scalar& v, char* end) {
    char* p = end;
    bool negative = !v.isUnsigned && v.integer() < 0;
    std::uint64_t u = negative ? 0 - v.bits : v.bits;
    for (; u >= 100; u /= 100) p -= 2, std::memcpy(p, kDigitPairs.text + 2 * (u % 100), 2);
    if (u >= 10) p -= 2, std::memcpy(p, kDigitPairs.text + 2 * u, 2);
    else *--p = static_cast<char>('0' + u);
    if (negative) *--p = '-';
    return std::string_view(p, static_cast<std::size_t>(end - p));
}

const char* dateText(double seconds, char* buf, std::size_t size) {
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
    if (year >= 0 && year <= 9999) {
        // The common case, without the cost of a formatted print.
        auto two = [](char* p, int v) {
            p[0] = static_cast<char>('0' + v / 10);
            p[1] = static_cast<char>('0' + v % 10);
        };
        int y = static_cast<int>(year);
        two(buf, y / 100);
        two(buf + 2, y % 100);
        buf[4] = '-';
        two(buf + 5, static_cast<int>(month));
        buf[7] = '-';
        two(buf + 8, static_cast<int>(day));
        buf[10] = 'T';
        two(buf + 11, r / 3600);
        buf[13] = ':';
        two(buf + 14, r / 60 % 60);
        buf[16] = ':';
        two(buf + 17, r % 60);
        buf[19] = 'Z';
        buf[20] = '\0';
        return buf;
    }
    std::snprintf(buf, size, "%04" PRId64 "-%02d-%02dT%02d:%02d:%02dZ", year, static_cast<int>(month),
                  static_cast<int>(day), r / 3600, r / 60 % 60, r % 60);
    return buf;
}

}  // namespace plist::detail
