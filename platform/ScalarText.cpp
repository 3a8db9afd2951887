#include "ScalarText.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace plist::detail {

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

// The two digits of v, below 100, at `out`.
void twoDigits(char* out, unsigned v) { std::memcpy(out, kDigitPairs.text + 2 * v, 2); }

// What snprintf() put in the buffer, from what it returned.
std::string_view printed(const char* buf, std::size_t size, int n) {
    return std::string_view(buf, n < 0 ? 0 : std::min(static_cast<std::size_t>(n), size - 1));
}

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

// A positive normal `d` as m * 2^e2, m of 53 bits; false for a subnormal.
bool parts(double d, std::uint64_t& m, int& e2) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    int biased = static_cast<int>(bits >> 52 & 0x7FF);
    if (biased == 0) return false;
    m = (bits & ((std::uint64_t{1} << 52) - 1)) | std::uint64_t{1} << 52;
    e2 = biased - 1075;
    return true;
}

// n >> s and the s bits below the point, in 64-bit words, where s is
// below 64 and what lies above the point fits a word, as most reals'
// seventeen digits do; false elsewhere.
bool inWords(u128 n, int s, std::uint64_t& whole, std::uint64_t& cut) {
    auto low = static_cast<std::uint64_t>(n), high = static_cast<std::uint64_t>(n >> 64);
    if (s <= 0 || s >= 64 || high >> s != 0) return false;
    whole = high << (64 - s) | low >> s, cut = low & ((std::uint64_t{1} << s) - 1);
    return true;
}

// The 17 significant digits of d * 10^(16 - x) and x, the power of ten
// their first stands for, for a guess x at most one off: `scaled(k, q, up)`
// gives the whole part of d * 10^k and whether it rounds up (to nearest,
// ties to even, as printf rounds), or false where it cannot tell.
template <typename Scaled>
bool seventeenDigits(int x, Scaled scaled, std::uint64_t& digits, int& exponent) {
    const u128 low = pow10(16), high = low * 10;
    for (int tries = 0; tries < 3; ++tries) {
        u128 q;
        bool up;
        if (!scaled(16 - x, q, up)) return false;
        if (q < low || q >= high) {
            x += q < low ? -1 : 1;
            continue;
        }
        q += up;
        if (q == high) q = low, ++x;
        digits = static_cast<std::uint64_t>(q);
        exponent = x;
        return true;
    }
    return false;
}

// log10 of m * 2^e2, floored, from the top bit's place and the bits below
// it (log2 of 1 + f within 0.006): seldom one off.
int decimalExponent(std::uint64_t m, int e2) {
    double f = static_cast<double>(m) * 0x1p-52 - 1;
    // Floored as a positive number is truncated: the log is above -330.
    return static_cast<int>((e2 + 52 + f * (1.3465 - 0.3465 * f)) * 0.30102999566398120 + 1024) - 1024;
}

// The 17 significant digits of a positive normal m * 2^e2 and its decimal
// exponent, guessed as x (see decimalExponent). Exact arithmetic in 128 bits
// reaches from about 1e-6 to 1e38; elsewhere false.
bool digits17(std::uint64_t m, int e2, int x, std::uint64_t& digits, int& exponent) {
    auto scaled = [&](int k, u128& q, bool& up) {
        if (k > 22 || k < -22) return false;
        u128 rest, unit;  // d * 10^k = q + rest / unit
        if (k >= 0) {
            u128 n = m * pow10(k);
            if (e2 >= 0) {
                if (e2 > 127 || n >> (127 - e2) != 0) return false;
                q = n << e2, rest = 0, unit = 1;
            } else if (std::uint64_t whole, cut; inWords(n, -e2, whole, cut)) {
                std::uint64_t half = std::uint64_t{1} << (-e2 - 1);
                q = whole, up = cut > half || (cut == half && (whole & 1));
                return true;
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
        up = 2 * rest > unit || (2 * rest == unit && (q & 1));
        return true;
    };
    return seventeenDigits(x, scaled, digits, exponent);
}

// The eight decimal digits of v, below 10^8, as the values 0 to 9 of a
// word's bytes, the first digit in the lowest: each step splits every
// field of the word in two at once, by a multiply that divides exactly
// within the field's range (by 100 below 43,699, by 10 below 179).
std::uint64_t eightDigits(std::uint32_t v) {
    std::uint64_t x = v / 10000 | std::uint64_t{v % 10000} << 32;
    std::uint64_t hundreds = (x * 10486) >> 20 & 0x0000007F0000007Full;
    x = hundreds | (x - hundreds * 100) << 16;
    std::uint64_t tens = (x * 103) >> 10 & 0x000F000F000F000Full;
    return tens | (x - tens * 10) << 8;
}

// Those digits as text at `out`.
void putDigits(char* out, std::uint64_t digits) {
    digits += 0x3030303030303030ull;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    digits = __builtin_bswap64(digits);
#endif
    std::memcpy(out, &digits, 8);
}

// "%.17g" from the digits: of the two styles printf chooses between, the
// one the exponent asks for, the fraction's trailing zeros dropped. Returns
// where the text ends, at its NUL. The digits go in runs of fixed length,
// which the next part overwrites or the NUL ends: `out` has room for 48.
char* g17(bool negative, std::uint64_t digits, int x, char* out) {
    // Seventeen digits: one, then two runs of eight, each worked out apart
    // from the other. The last that is not 0 is found from the runs' top
    // bytes that are.
    char d[40] = {};
    std::uint64_t high = digits / 100000000;
    std::uint64_t first = eightDigits(static_cast<std::uint32_t>(high % 100000000));
    std::uint64_t second = eightDigits(static_cast<std::uint32_t>(digits % 100000000));
    d[0] = static_cast<char>('0' + high / 100000000);
    putDigits(d + 1, first);
    putDigits(d + 9, second);
    int last = second != 0 ? 16 - __builtin_clzll(second) / 8 : first != 0 ? 8 - __builtin_clzll(first) / 8 : 0;
    if (negative) *out++ = '-';
    if (x < -4 || x >= 17) {
        out[0] = d[0], out[1] = '.';
        std::memcpy(out + 2, d + 1, 16);
        out += last > 0 ? last + 2 : 1;
        *out++ = 'e';
        *out++ = x < 0 ? '-' : '+';
        int a = x < 0 ? -x : x;
        if (a >= 100) *out++ = static_cast<char>('0' + a / 100);
        *out++ = static_cast<char>('0' + a / 10 % 10);
        *out++ = static_cast<char>('0' + a % 10);
    } else if (x >= 0) {
        std::memcpy(out, d, 17);
        out += x + 1;
        if (last > x) {
            *out = '.';
            std::memcpy(out + 1, d + x + 1, 16);
            out += last - x + 1;
        }
    } else {
        *out++ = '0', *out++ = '.';
        for (int z = -x - 1; z > 0; --z) *out++ = '0';
        std::memcpy(out, d, 17);
        out += last + 1;
    }
    *out = '\0';
    return out;
}

// 2^e for a normal double's exponent: multiplying by it is exact, and
// cheaper than ldexp().
double pow2(int e) {
    std::uint64_t bits = static_cast<std::uint64_t>(e + 1023) << 52;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// A natural number of up to kLimbs 32-bit limbs, the lowest first: enough
// for 2^128 times the powers of five the table of tens is made from.
struct Big {
    static constexpr int kLimbs = 44;
    std::uint32_t limb[kLimbs] = {};
    int size = 0;  // limbs in use, the top one not zero

    static Big of(std::uint64_t v) {
        Big b;
        b.limb[0] = static_cast<std::uint32_t>(v), b.limb[1] = static_cast<std::uint32_t>(v >> 32);
        b.size = v >> 32 ? 2 : v ? 1 : 0;
        return b;
    }
    int bits() const { return size == 0 ? 0 : 32 * size - __builtin_clz(limb[size - 1]); }
    void multiply(std::uint64_t m) {
        u128 carry = 0;
        for (int i = 0; i < size; ++i) {
            u128 t = u128{limb[i]} * m + carry;
            limb[i] = static_cast<std::uint32_t>(t), carry = t >> 32;
        }
        for (; carry != 0; carry >>= 32) limb[size++] = static_cast<std::uint32_t>(carry);
    }
    void shiftLeft(int n) {
        int w = n / 32, s = n % 32;
        for (int i = size + w; i >= w; --i) {
            std::uint64_t high = i - w < size ? limb[i - w] : 0, low = s != 0 && i - w >= 1 ? limb[i - w - 1] : 0;
            limb[i] = static_cast<std::uint32_t>(high << s | low >> (32 - s));
        }
        for (int i = 0; i < w; ++i) limb[i] = 0;
        size += w + 1;
        while (size > 0 && limb[size - 1] == 0) --size;
    }
    // Bits [from, from + 128), those above the top zero.
    u128 bitsFrom(int from) const {
        int i = from / 32, s = from % 32;
        u128 v = 0;
        for (int k = 3; k >= 0; --k) v = v << 32 | (i + k < size ? limb[i + k] : 0);
        v >>= s;
        if (s != 0 && i + 4 < size) v |= u128{limb[i + 4]} << (128 - s);
        return v;
    }
    static int compare(const Big& a, const Big& b) {
        if (a.size != b.size) return a.size < b.size ? -1 : 1;
        for (int i = a.size - 1; i >= 0; --i)
            if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i] ? -1 : 1;
        return 0;
    }
    void subtract(const Big& b) {  // b not above this
        std::int64_t borrow = 0;
        for (int i = 0; i < size; ++i) {
            std::int64_t t = std::int64_t{limb[i]} - (i < b.size ? b.limb[i] : 0) - borrow;
            borrow = t < 0, limb[i] = static_cast<std::uint32_t>(t);
        }
        while (size > 0 && limb[size - 1] == 0) --size;
    }
};

// floor(a / b) into q, a left as the rest; false where it is 2^64 or more.
bool divide(Big& a, const Big& b, std::uint64_t& q) {
    int na = a.bits(), nb = b.bits();
    if (na - nb > 64) return false;
    if (na - nb == 64) {
        Big limit = b;
        limit.shiftLeft(64);
        if (Big::compare(a, limit) >= 0) return false;
    }
    if (na < nb) return q = 0, true;
    if (nb <= 64) {
        u128 n = a.bitsFrom(0), d = b.bitsFrom(0);
        q = static_cast<std::uint64_t>(n / d);
        a = Big::of(0);
        for (u128 r = n % d; r != 0; r >>= 32) a.limb[a.size++] = static_cast<std::uint32_t>(r);
        return true;
    }
    // From b's top 64 bits, one more than they are: at most a few short,
    // each taken from the rest in turn.
    int from = nb - 64;
    auto top = static_cast<std::uint64_t>(b.bitsFrom(from));
    u128 estimate = top == ~std::uint64_t{0} ? a.bitsFrom(from) >> 64 : a.bitsFrom(from) / (top + 1);
    Big times = b;
    times.multiply(static_cast<std::uint64_t>(estimate));
    a.subtract(times);
    q = static_cast<std::uint64_t>(estimate);
    for (; Big::compare(a, b) >= 0; ++q) {
        if (q == ~std::uint64_t{0}) return false;
        a.subtract(b);
    }
    return true;
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

// 10^k for k from -kSmallestTen to kLargestTen as 128 bits and a power of
// two, the bits cut short: 10^k = (high * 2^64 + low + a fraction) *
// 2^exponent. Made at its first use, from the exact powers of five. Below
// 10^-363, 19 digits make no normal double; above 10^340, no normal double
// needs more for its 17 digits (the smallest needs 10^324).
constexpr int kSmallestTen = 363, kLargestTen = 340;
struct Tens {
    struct Power {
        std::uint64_t high, low;
        int exponent;
    };
    Power of[kSmallestTen + 1 + kLargestTen];
    Tens() {
        Big five = Big::of(1);
        for (int k = 0; k <= kSmallestTen; ++k, five.multiply(5)) {
            int bits = five.bits();
            if (k <= kLargestTen) {
                // 5^k's top 128 bits, the rest cut; 2^k goes to the exponent.
                Big top = five;
                if (bits < 128) top.shiftLeft(128 - bits);
                u128 v = top.bitsFrom(std::max(bits - 128, 0));
                of[kSmallestTen + k] = Power{static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v),
                                           bits - 128 + k};
            }
            if (k > 0) {
                // 2^(127 + bits) / 5^k, a quotient of 128 bits: 64 of them, then
                // the next 64 from the rest.
                Big n = Big::of(1);
                n.shiftLeft(63 + bits);
                std::uint64_t high = 0, low = 0;
                divide(n, five, high);
                n.shiftLeft(64);
                divide(n, five, low);
                of[kSmallestTen - k] = Power{high, low, -(127 + bits + k)};
            }
        }
    }
    const Power& operator[](int k) const { return of[kSmallestTen + k]; }
};

const Tens& tens() {
    static const Tens table;
    return table;
}

// m * (high * 2^64 + low) as top * 2^64 + rest.
void product(std::uint64_t m, const Tens::Power& p, u128& top, std::uint64_t& rest) {
    u128 a = u128{m} * p.low;
    top = u128{m} * p.high + (a >> 64);  // below 2^128: m * high is 2^65 short of it at least
    rest = static_cast<std::uint64_t>(a);
}

// digits17() for any positive normal value, from the powers of ten cut to
// 128 bits: what they leave out moves the product by less than 2^53 of its
// last units, so the digits stand unless the part cut off lies that near a
// half or a whole unit (then false, for printf).
bool digits17Quickly(std::uint64_t m, int e2, int x, std::uint64_t& digits, int& exponent) {
    auto scaled = [&](int k, u128& q, bool& up) {
        if (k > kLargestTen || -k > kSmallestTen) return false;
        const Tens::Power& p = tens()[k];
        u128 top;
        std::uint64_t rest;
        product(m, p, top, rest);
        // d * 10^k = (top * 2^64 + rest) * 2^(e2 + exponent): the point falls
        // `s` bits above rest, within top.
        int s = -(e2 + p.exponent) - 64;
        if (s <= 0 || s >= 127) return false;
        // Whether the part cut off, with what the powers leave out, could lie
        // at a half or reach a whole unit.
        constexpr std::uint64_t kNear = ~std::uint64_t{0} - (std::uint64_t{1} << 53);
        auto unsure = [rest](auto cut, auto half) {
            return (cut == half && rest == 0) || (cut == half - 1 && rest >= kNear) ||
                   (cut == (half << 1) - 1 && rest >= kNear);
        };
        if (std::uint64_t whole, cut; inWords(top, s, whole, cut)) {
            std::uint64_t half = std::uint64_t{1} << (s - 1);
            if (unsure(cut, half)) return false;
            q = whole, up = cut >= half;
            return true;
        }
        u128 cut = top & ((u128{1} << s) - 1), half = u128{1} << (s - 1);
        if (unsure(cut, half)) return false;
        q = top >> s, up = cut >= half;
        return true;
    };
    return seventeenDigits(x, scaled, digits, exponent);
}

// w * 10^e rounded to nearest, ties to even, from the powers of ten cut to
// 128 bits, where the bits they leave out cannot move the rounding and the
// value is a normal double; false elsewhere (for strtod).
bool scaledQuickly(std::uint64_t w, int e, double& d) {
    if (e > kLargestTen || -e > kSmallestTen) return false;
    const Tens::Power& p = tens()[e];
    int lz = __builtin_clzll(w);
    u128 top;
    std::uint64_t rest;
    product(w << lz, p, top, rest);  // what is cut adds less than 2^64 of rest's units
    // The product's first 64 bits from its top one (191 or 190): 53 of
    // them, and 11 to round by. Below those, what is cut could carry into
    // them, and decides a half: where it could matter, false.
    int up = static_cast<int>(top >> 127);
    auto head = static_cast<std::uint64_t>(top >> (63 + up));
    unsigned round = head & 0x7FF;
    if (round == 0x3FF || round == 0x400) return false;
    std::uint64_t mantissa = (head >> 11) + (round > 0x400);
    int exponent = 138 + up + p.exponent - lz;  // the value is mantissa * 2^exponent
    if (mantissa == std::uint64_t{1} << 53) mantissa >>= 1, ++exponent;
    if (exponent + 53 > 1023 || exponent + 53 < -1021) return false;  // strtod's to overflow, or to round below the normal range
    d = static_cast<double>(mantissa) * pow2(exponent / 2) * pow2(exponent - exponent / 2);
    return true;
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
    // exponent. Zeros before any other digit only lower it too; past any a
    // double can show, strtod takes over before it could overflow. Past 19
    // digits w wraps, and the text is strtod's.
    auto run = [&](int step) {
        if (w == 0) {
            for (; i < n && t[i] == '0'; ++i) {
                any = true;
                if ((exponent -= step) < -10000) return false;
            }
        }
        std::size_t from = i;
        for (; i < n; ++i) {
            unsigned d = static_cast<unsigned>(static_cast<unsigned char>(t[i])) - '0';
            if (d > 9) break;
            w = w * 10 + d;
        }
        auto count = static_cast<int>(std::min<std::size_t>(i - from, 20));
        any |= count > 0;
        digits += count;
        exponent -= step * count;
        return digits <= 19;
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
    double d;
    if (exponent > 22 || exponent < -22) {
        if (!scaledQuickly(w, exponent, d)) return false;
        value = negative ? -d : d;
        return true;
    }
    if (w <= std::uint64_t{1} << 53) {
        // Both exact as doubles, so one rounding: the product's or quotient's.
        double scale = toDouble(pow10(exponent < 0 ? -exponent : exponent));
        d = exponent < 0 ? static_cast<double>(w) / scale : static_cast<double>(w) * scale;
    } else if (exponent >= 0) {
        if (w > ~u128{0} / pow10(exponent)) return false;
        d = toDouble(w * pow10(exponent));
    } else if (!scaledQuickly(w, exponent, d)) {
        // Seventeen digits, as a writer leaves them, take no division but
        // where the quick way cannot tell: w / 10^-exponent with w's top
        // bit at the top, whose quotient has 54 bits at least and whose
        // remainder's only part is to be nonzero.
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

std::string_view RealTexts::realText(double d, char* buf, std::size_t size) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
    if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";  // Foundation drops the sign of -0.0
#ifdef __SIZEOF_INT128__
    std::uint64_t digits;
    int exponent;
    double a = std::fabs(d);
    // A whole number below 10^17 is its digits, as many as it has.
    if (size >= 48 && a < 1e17 && static_cast<double>(static_cast<std::int64_t>(a)) == a) {
        auto whole = static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
        buf[47] = '\0';
        return integerText(Scalar{Type::Integer, false, whole}, buf + 47);
    }
    std::uint64_t m;
    int e2;
    if (size >= 48 && parts(a, m, e2)) {
        // A multiple of a half, a quarter, down to 2^-10, is written as its
        // exact digits where they are seventeen at most: an odd n / 2^k is
        // n * 5^k / 10^k, whose digits end in a 5, so none are to be dropped.
        int zeros = __builtin_ctzll(m), k = -(e2 + zeros);
        if (k >= 1 && k <= 10) {
            static constexpr std::uint32_t kFives[] = {1,     5,     25,     125,     625,    3125,
                                                       15625, 78125, 390625, 1953125, 9765625};
            u128 exact = u128{m >> zeros} * kFives[k];
            if (exact < pow10(17)) {
                // The k places after the point, then the whole part as an integer.
                auto v = static_cast<std::uint64_t>(exact);
                char* p = buf + 47;
                *p = '\0';
                for (int place = 0; place < k; ++place, v /= 10) *--p = static_cast<char>('0' + v % 10);
                *--p = '.';
                p -= integerText(Scalar{Type::Integer, true, v}, p).size();
                if (d < 0) *--p = '-';
                return std::string_view(p, static_cast<std::size_t>(buf + 47 - p));
            }
        }
        int x = decimalExponent(m, e2);
        if (digits17(m, e2, x, digits, exponent) || digits17Quickly(m, e2, x, digits, exponent))
            return std::string_view(buf, static_cast<std::size_t>(g17(d < 0, digits, exponent, buf) - buf));
    }
#endif
    return printed(buf, size, std::snprintf(buf, size, "%.17g", d));
}

std::string_view integerText(const Scalar& v, char* end) {
    char* p = end;
    bool negative = !v.isUnsigned && v.integer() < 0;
    std::uint64_t u = negative ? 0 - v.bits : v.bits;
    for (; u >= 100; u /= 100) p -= 2, twoDigits(p, static_cast<unsigned>(u % 100));
    if (u >= 10) p -= 2, twoDigits(p, static_cast<unsigned>(u));
    else *--p = static_cast<char>('0' + u);
    if (negative) *--p = '-';
    return std::string_view(p, static_cast<std::size_t>(end - p));
}

std::string_view dateText(double seconds, char* buf, std::size_t size) {
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
        auto two = [](char* p, int v) { twoDigits(p, static_cast<unsigned>(v)); };
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
        return std::string_view(buf, 20);
    }
    return printed(buf, size,
                   std::snprintf(buf, size, "%04" PRId64 "-%02d-%02dT%02d:%02d:%02dZ", year, static_cast<int>(month),
                                 static_cast<int>(day), r / 3600, r / 60 % 60, r % 60));
}

}  // namespace plist::detail
