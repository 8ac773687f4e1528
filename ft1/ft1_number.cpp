#include "ft1/ft1_number.h"

#include <QString>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

// Six significant digits of |value| as an integer 100000..999999 and the decimal exponent of
// the first digit, rounded as Qt rounds: to nearest, exact ties away from zero.
struct Digits {
    std::uint32_t digits;
    int exponent;
};

// Exact ties (the value has exactly seven significant digits, the last a 5) exist only for
// floats m * 2^e with m odd and -10 <= e <= 10: for e < -10 the decimal expansion of m * 5^-e
// has eight digits or more, for e > 10 the value cannot carry the factor 5^e. In that range the
// value times 2^10 is a whole number below 2^45, and its exact decimal digits follow from
// n * 5^10 = value * 10^10.
bool tie_digits(float magnitude, Digits &result)
{
    int e2 = 0;
    const float fraction = std::frexp(magnitude, &e2); // magnitude = fraction * 2^e2
    auto m = static_cast<std::uint64_t>(std::ldexp(fraction, 24));
    int e = e2 - 24;
    while (m != 0 && (m & 1) == 0) {
        m >>= 1;
        ++e;
    }
    if (e < -10 || e > 10) {
        return false;
    }
    unsigned __int128 exact = static_cast<unsigned __int128>(m << (e + 10)) * 9765625u; // 5^10
    int zeros = 0;
    while (exact % 10 == 0) {
        exact /= 10;
        ++zeros;
    }
    if (exact < 1000000 || exact > 9999999 || exact % 10 != 5) {
        return false;
    }
    // value = exact * 10^(zeros - 10), exact having seven digits.
    result.digits = static_cast<std::uint32_t>(exact / 10) + 1;
    result.exponent = zeros - 10 + 6;
    if (result.digits == 1000000) {
        result.digits = 100000;
        ++result.exponent;
    }
    return true;
}

constexpr std::uint64_t powers_of_ten[] = {1ull,
                                           10ull,
                                           100ull,
                                           1000ull,
                                           10000ull,
                                           100000ull,
                                           1000000ull,
                                           10000000ull,
                                           100000000ull,
                                           1000000000ull,
                                           10000000000ull,
                                           100000000000ull,
                                           1000000000000ull,
                                           10000000000000ull,
                                           100000000000000ull,
                                           1000000000000000ull,
                                           10000000000000000ull,
                                           100000000000000000ull,
                                           1000000000000000000ull};

// floor(m * 2^e * 10^p) and whether the rest is at least one half, in 64-bit integers; false
// where the numbers would not fit.
bool scaled(std::uint64_t m, int e, int p, std::uint64_t &whole, bool &round_up)
{
    if (p >= 0) {
        if (p > 12) {
            return false;
        }
        const std::uint64_t x = m * powers_of_ten[p]; // below 2^24 * 10^12 < 2^64
        if (e >= 0) {
            if (e > 20 || (x >> (63 - e)) != 0) {
                return false;
            }
            whole = x << e;
            round_up = false;
            return true;
        }
        const int shift = -e;
        if (shift > 62) {
            return false;
        }
        whole = x >> shift;
        round_up = ((x >> (shift - 1)) & 1) != 0; // the first bit below the point
        return true;
    }
    if (-p > 18) {
        return false;
    }
    const std::uint64_t ten = powers_of_ten[-p];
    std::uint64_t numerator = m;
    std::uint64_t divisor = ten;
    if (e >= 0) {
        if (e > 38) {
            return false;
        }
        numerator = m << e;
    } else {
        if (-e > 62 || (ten >> (62 + e)) != 0) {
            return false;
        }
        divisor = ten << -e;
    }
    whole = numerator / divisor;
    round_up = numerator % divisor >= divisor - numerator % divisor; // rest >= divisor / 2
    return true;
}

// The six digits of a normal float with exact integer arithmetic: |value| = m * 2^e with
// m < 2^24, scaled by 10^(5 - k) for its decimal exponent k and rounded, ties away from zero.
bool integer_digits(float magnitude, Digits &result)
{
    std::uint32_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    const int biased = static_cast<int>(bits >> 23) & 0xff;
    if (biased == 0 || biased == 0xff) {
        return false;
    }
    const std::uint64_t m = (bits & 0x7fffffu) | 0x800000u;
    const int e = biased - 150;
    // floor(log10(value)) is floor(log2(value) * log10(2)) or one more.
    int k = static_cast<int>(std::floor((biased - 127) * 0.30102999566398120));
    for (int attempt = 0; attempt < 2; ++attempt, ++k) {
        std::uint64_t whole = 0;
        bool round_up = false;
        if (!scaled(m, e, 5 - k, whole, round_up)) {
            return false;
        }
        if (whole >= 1000000) {
            continue;
        }
        if (whole < 100000) {
            return false; // an estimate of k that is too large: not expected, but never wrong
        }
        whole += round_up ? 1 : 0;
        result.digits = static_cast<std::uint32_t>(whole);
        result.exponent = k;
        if (whole == 1000000) {
            result.digits = 100000;
            ++result.exponent;
        }
        return true;
    }
    return false;
}

Digits six_digits(float magnitude)
{
    Digits result{};
    if (integer_digits(magnitude, result) || tie_digits(magnitude, result)) {
        return result;
    }
    // Not a tie: the correctly rounded digits of the exact value, whatever the tie rule.
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, static_cast<double>(magnitude),
                                   std::chars_format::scientific, 5)
                         .ptr;
    // text is d.ddddde[+-]XX
    std::uint32_t digits = static_cast<std::uint32_t>(text[0] - '0');
    for (int k = 2; k < 7; ++k) {
        digits = digits * 10 + static_cast<std::uint32_t>(text[k] - '0');
    }
    int exponent = 0;
    for (const char *p = text + 9; p < end; ++p) {
        exponent = exponent * 10 + (*p - '0');
    }
    result.digits = digits;
    result.exponent = text[8] == '-' ? -exponent : exponent;
    return result;
}

} // namespace

char *format_ft1_value(float value, char *out)
{
    if (std::isnan(value)) {
        std::memcpy(out, "nan", 3);
        return out + 3;
    }
    if (value == 0) { // -0 as well
        *out = '0';
        return out + 1;
    }
    if (value < 0) {
        *out++ = '-';
        value = -value;
    }
    if (std::isinf(value)) {
        std::memcpy(out, "inf", 3);
        return out + 3;
    }
    const Digits d = six_digits(value);
    char significant[6];
    int length = 6;
    std::uint32_t rest = d.digits;
    for (int k = 5; k >= 0; --k) {
        significant[k] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    }
    while (length > 1 && significant[length - 1] == '0') {
        --length;
    }
    if (d.exponent < -4 || d.exponent >= 6) {
        *out++ = significant[0];
        if (length > 1) {
            *out++ = '.';
            std::memcpy(out, significant + 1, static_cast<std::size_t>(length - 1));
            out += length - 1;
        }
        *out++ = 'e';
        *out++ = d.exponent < 0 ? '-' : '+';
        const int magnitude = std::abs(d.exponent);
        if (magnitude >= 100) {
            *out++ = static_cast<char>('0' + magnitude / 100);
        }
        *out++ = static_cast<char>('0' + magnitude / 10 % 10);
        *out++ = static_cast<char>('0' + magnitude % 10);
        return out;
    }
    if (d.exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int k = 0; k < -d.exponent - 1; ++k) {
            *out++ = '0';
        }
        std::memcpy(out, significant, static_cast<std::size_t>(length));
        return out + length;
    }
    const int whole = d.exponent + 1;
    for (int k = 0; k < whole; ++k) {
        *out++ = k < length ? significant[k] : '0';
    }
    if (length > whole) {
        *out++ = '.';
        std::memcpy(out, significant + whole, static_cast<std::size_t>(length - whole));
        out += length - whole;
    }
    return out;
}

namespace {

constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

float parse_with_qt(const char *begin, const char *end, bool *ok)
{
    const QString text = QString::fromUtf8(begin, static_cast<int>(end - begin));
    return text.toFloat(ok);
}

} // namespace

float parse_ft1_value(const char *begin, const char *end, bool *ok)
{
    // Fast path: [+-] digits [. digits] [(e|E) [+-] digits], at most 15 digits in all, so the
    // digits make an integer below 2^53 and, with a power of ten up to 10^22, one correctly
    // rounded multiplication or division gives the nearest double.
    const char *p = begin;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) {
        negative = *p == '-';
        ++p;
    }
    std::uint64_t mantissa = 0;
    int digits = 0;
    int fraction_digits = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p++ - '0');
        ++digits;
    }
    if (p < end && *p == '.') {
        ++p;
        while (p < end && *p >= '0' && *p <= '9') {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p++ - '0');
            ++digits;
            ++fraction_digits;
        }
    }
    int exponent = 0;
    bool plain = digits > 0 && digits <= 15;
    if (plain && p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative_exponent = false;
        if (p < end && (*p == '-' || *p == '+')) {
            negative_exponent = *p == '-';
            ++p;
        }
        int exponent_digits = 0;
        while (p < end && *p >= '0' && *p <= '9' && exponent_digits < 4) {
            exponent = exponent * 10 + (*p++ - '0');
            ++exponent_digits;
        }
        plain = exponent_digits > 0;
        exponent = negative_exponent ? -exponent : exponent;
    }
    const int scale = exponent - fraction_digits;
    if (plain && p == end && scale >= -22 && scale <= 22) {
        const double magnitude = scale >= 0
                                     ? static_cast<double>(mantissa) * exact_powers_of_ten[scale]
                                     : static_cast<double>(mantissa) / exact_powers_of_ten[-scale];
        // Between 1e-22 and 1e37: the float range holds it, so narrowing neither overflows
        // nor underflows to zero, the two cases Qt rejects.
        const auto narrowed = static_cast<float>(magnitude);
        if (ok) {
            *ok = true;
        }
        return negative ? -narrowed : narrowed;
    }
    return parse_with_qt(begin, end, ok);
}
