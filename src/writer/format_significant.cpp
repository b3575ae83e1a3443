#include "writer/format_significant.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace korvath {

namespace {

// floor(log10|value|) as a 32-bit integer, saturating at the type's bounds.
std::int64_t decimal_exponent(double value) {
    double m = std::floor(std::log10(std::fabs(value)));
    constexpr double lowest = static_cast<double>(std::numeric_limits<std::int32_t>::min());
    constexpr double highest = static_cast<double>(std::numeric_limits<std::int32_t>::max());
    if (m <= lowest) return std::numeric_limits<std::int32_t>::min();
    if (m >= highest) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int64_t>(m);
}

}  // namespace

void append_significant(std::string& out, double value, unsigned digits) {
    if (value == 0.0 || !std::isfinite(value)) {
        out.push_back('0');
        return;
    }
    std::int64_t decimals =
        static_cast<std::int64_t>(digits) - 1 - decimal_exponent(value);
    if (decimals < 0) decimals = 0;
    if (decimals > 17) decimals = 17;

    // The largest double has 309 integer digits; with a sign, a point and
    // 17 decimals the text always fits.
    char buffer[400];
    std::to_chars_result written = std::to_chars(buffer, buffer + sizeof buffer, value,
                                                 std::chars_format::fixed,
                                                 static_cast<int>(decimals));
    char* end = written.ptr;
    if (decimals > 0) {
        // The text holds a point: drop trailing zeros, then a bare point.
        while (end > buffer && end[-1] == '0') --end;
        if (end > buffer && end[-1] == '.') --end;
    }
    out.append(buffer, end);
}

std::string format_significant(double value, unsigned digits) {
    std::string out;
    append_significant(out, value, digits);
    return out;
}

}  // namespace korvath
