#include "writer/format_significant.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace korvath {

namespace {

// Powers of ten 10^-290 ... 10^290 as doubles, close enough (a few ulps) to
// tell which two powers a value lies between when it is not very near one.
struct DecadeTable {
    static constexpr int kLowest = -290;
    static constexpr int kHighest = 290;
    double power[kHighest - kLowest + 1];

    DecadeTable() {
        for (int k = kLowest; k <= kHighest; ++k) power[k - kLowest] = std::pow(10.0, k);
    }
    double at(int k) const { return power[k - kLowest]; }
};

const DecadeTable& decades() {
    static const DecadeTable table;
    return table;
}

// floor(log10 x) for finite x > 0, exactly as the platform's log10 gives it.
// Away from powers of ten the answer is decided by comparisons with the table;
// within a relative 1e-9 of one (where log10 rounding could land on the
// integer) the platform's log10 is asked.
double floor_log10(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const int binary_exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1023;  // x in [2^e, 2^(e+1))
    if (binary_exponent >= -950 && binary_exponent <= 950) {
        const DecadeTable& table = decades();
        // floor(e * log10(2)), off by at most one, corrected by the comparisons.
        int k = (binary_exponent * 78913) >> 18;
        if (x >= table.at(k + 1)) ++k;
        if (x < table.at(k)) --k;
        const double margin = 1e-9;
        if (x > table.at(k) * (1 + margin) && x < table.at(k + 1) * (1 - margin)) {
            return static_cast<double>(k);
        }
    }
    return std::floor(std::log10(x));
}

// floor(log10|value|) as a 32-bit integer, saturating at the type's bounds.
std::int64_t decimal_exponent(double value) {
    double m = floor_log10(std::fabs(value));
    constexpr double lowest = static_cast<double>(std::numeric_limits<std::int32_t>::min());
    constexpr double highest = static_cast<double>(std::numeric_limits<std::int32_t>::max());
    if (m <= lowest) return std::numeric_limits<std::int32_t>::min();
    if (m >= highest) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int64_t>(m);
}

constexpr std::uint64_t kPowersOfTen[18] = {
    1ull,
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
};

using u128 = unsigned __int128;

// |value| x 10^decimals rounded to an integer, half to even, computed exactly
// from the double's integer significand and binary exponent. False when the
// value is too large for 128-bit arithmetic (the caller then falls back).
bool scaled_integer(double value, int decimals, u128& scaled) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const auto exponent_bits = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t significand = bits & ((std::uint64_t{1} << 52) - 1);
    int exponent;  // |value| = significand x 2^exponent
    if (exponent_bits == 0) {
        exponent = -1074;
    } else {
        significand |= std::uint64_t{1} << 52;
        exponent = exponent_bits - 1075;
    }
    const std::uint64_t power = kPowersOfTen[decimals];
    if (exponent >= 0) {
        // Below 2^63 before scaling, below 2^120 after.
        if (exponent > 10) return false;
        scaled = (static_cast<u128>(significand) << exponent) * power;
        return true;
    }
    const int shift = -exponent;
    const u128 product = static_cast<u128>(significand) * power;  // below 2^110
    if (shift >= 120) {
        scaled = 0;  // the product is below half of 2^shift
        return true;
    }
    u128 quotient = product >> shift;
    const u128 remainder = product - (quotient << shift);
    const u128 half = u128{1} << (shift - 1);
    if (remainder > half || (remainder == half && (quotient & 1) != 0)) ++quotient;
    scaled = quotient;
    return true;
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of `value` so that they end just before `end`,
// at least `min_digits` of them (zero padded); returns where they begin.
char* digits_backwards(char* end, std::uint64_t value, int min_digits) {
    char* p = end;
    while (value >= 100) {
        const auto pair = static_cast<std::size_t>(value % 100) * 2;
        value /= 100;
        *--p = kDigitPairs[pair + 1];
        *--p = kDigitPairs[pair];
    }
    if (value >= 10) {
        const auto pair = static_cast<std::size_t>(value) * 2;
        *--p = kDigitPairs[pair + 1];
        *--p = kDigitPairs[pair];
    } else {
        *--p = static_cast<char>('0' + value);
    }
    while (end - p < min_digits) *--p = '0';
    return p;
}

// Decimal digits of a value below 10^38, ending before `end`, at least
// `min_digits` of them; returns where they begin.
char* u128_digits_backwards(char* end, u128 value, int min_digits) {
    constexpr std::uint64_t chunk = 1000000000000000000ull;  // 10^18
    if (value <= std::numeric_limits<std::uint64_t>::max()) {
        return digits_backwards(end, static_cast<std::uint64_t>(value), min_digits);
    }
    char* p = digits_backwards(end, static_cast<std::uint64_t>(value % chunk), 18);
    const int left = min_digits - 18;
    return digits_backwards(p, static_cast<std::uint64_t>(value / chunk), left > 0 ? left : 0);
}

// Fixed-point text of `value` with exactly `decimals` digits after the point.
char* write_fixed(char* out, char* limit, double value, int decimals) {
    u128 scaled;
    if (!scaled_integer(value, decimals, scaled)) {
        return std::to_chars(out, limit, value, std::chars_format::fixed, decimals).ptr;
    }
    if (std::signbit(value)) *out++ = '-';
    // At least one digit before the point: decimals + 1 digits, zero padded.
    char digits[48];
    char* const end = digits + sizeof digits;
    const char* first = u128_digits_backwards(end, scaled, decimals + 1);
    const auto n = static_cast<std::size_t>(end - first);
    const std::size_t integer_digits = n - static_cast<std::size_t>(decimals);
    std::memcpy(out, first, integer_digits);
    out += integer_digits;
    if (decimals > 0) {
        *out++ = '.';
        std::memcpy(out, first + integer_digits, static_cast<std::size_t>(decimals));
        out += decimals;
    }
    return out;
}

}  // namespace

char* write_significant(char* out, double value, unsigned digits) {
    if (value == 0.0 || !std::isfinite(value)) {
        *out = '0';
        return out + 1;
    }
    std::int64_t decimals =
        static_cast<std::int64_t>(digits) - 1 - decimal_exponent(value);
    if (decimals < 0) decimals = 0;
    if (decimals > 17) decimals = 17;

    char* end = write_fixed(out, out + kSignificantMaxChars, value, static_cast<int>(decimals));
    if (decimals > 0) {
        // The text holds a point: drop trailing zeros, then a bare point.
        while (end > out && end[-1] == '0') --end;
        if (end > out && end[-1] == '.') --end;
    }
    return end;
}

void append_significant(std::string& out, double value, unsigned digits) {
    char buffer[kSignificantMaxChars];
    out.append(buffer, write_significant(buffer, value, digits));
}

std::string format_significant(double value, unsigned digits) {
    std::string out;
    append_significant(out, value, digits);
    return out;
}

int decimal_exponent_fast(double value) {
    return static_cast<int>(floor_log10(std::fabs(value)));
}

std::string format_fixed_reference(double value, int decimals) {
    char buffer[400];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value,
                                             std::chars_format::fixed, decimals).ptr);
}

std::string format_fixed(double value, int decimals) {
    char buffer[400];
    return std::string(buffer, write_fixed(buffer, buffer + sizeof buffer, value, decimals));
}

}  // namespace korvath
