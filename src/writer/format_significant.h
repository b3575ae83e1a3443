// The one rule by which dates and branch lengths become text in result files:
// fixed-point notation with about `digits` significant digits and no trailing
// zeros.
#pragma once

#include <cstddef>
#include <string>

namespace korvath {

// Appends the text of `value` to `out`:
//   - 0 (either sign), infinities and NaN give "0";
//   - otherwise value is written with max(0, min(17, digits - 1 - floor(log10|value|)))
//     decimals, correctly rounded from the exact binary value (ties to even),
//     then trailing zeros and a trailing point are removed.
void append_significant(std::string& out, double value, unsigned digits);

// The same text written at `out`, which must have kSignificantMaxChars of
// room; returns the end of the text. (The longest text is a 309-digit
// integer part with a sign, or 17 decimals.)
inline constexpr std::size_t kSignificantMaxChars = 340;
char* write_significant(char* out, double value, unsigned digits);

std::string format_significant(double value, unsigned digits);

// Fixed-point text with exactly `decimals` (0 to 17) digits after the point,
// correctly rounded (ties to even). The writer's own exact integer method,
// and the standard library's, which the tests compare it with.
std::string format_fixed(double value, int decimals);
std::string format_fixed_reference(double value, int decimals);

// floor(log10|value|) for finite non-zero values, as used above; equal to
// std::floor(std::log10(std::fabs(value))) (the tests check this).
int decimal_exponent_fast(double value);

}  // namespace korvath
