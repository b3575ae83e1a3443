// Appending plain decimal integers to text without temporary strings.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>

namespace korvath {

template <class Integer>
inline void append_decimal(std::string& out, Integer value) {
    char buffer[24];
    std::to_chars_result written = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, written.ptr);
}

}  // namespace korvath
