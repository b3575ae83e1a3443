// The one rule by which dates and branch lengths become text in result files:
// fixed-point notation with about `digits` significant digits and no trailing
// zeros.
#pragma once

#include <string>

namespace korvath {

// Appends the text of `value` to `out`:
//   - 0 (either sign), infinities and NaN give "0";
//   - otherwise value is written with max(0, min(17, digits - 1 - floor(log10|value|)))
//     decimals, correctly rounded from the exact binary value (ties to even),
//     then trailing zeros and a trailing point are removed.
void append_significant(std::string& out, double value, unsigned digits);

std::string format_significant(double value, unsigned digits);

}  // namespace korvath
