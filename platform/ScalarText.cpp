#include "ScalarText.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace plist::detail {

namespace {

constexpr std::int64_t kDaysTo2001 = 11323;  // 1970-01-01 to 2001-01-01

}  // namespace

const char* RealTexts::realText(double d, char* buf, std::size_t size) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
    if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";  // Foundation drops the sign of -0.0
    std::snprintf(buf, size, "%.17g", d);
    return buf;
}

const char* integerText(const Scalar& v, char* end) {
    char* p = end;
    *--p = '\0';
    bool negative = !v.isUnsigned && v.integer() < 0;
    std::uint64_t u = negative ? 0 - v.bits : v.bits;
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (negative) *--p = '-';
    return p;
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
