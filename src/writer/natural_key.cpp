#include "writer/natural_key.h"

namespace korvath {

__int128 natural_number(std::string_view name) {
    // 2^127 - 1, the largest signed 128-bit value.
    constexpr __int128 largest = static_cast<__int128>(~static_cast<unsigned __int128>(0) >> 1);
    __int128 value = 0;
    for (char c : name) {
        if (c < '0' || c > '9') continue;
        int digit = c - '0';
        if (value > (largest - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return value;
}

NaturalKey natural_key(std::string_view name) { return NaturalKey{natural_number(name), name}; }

bool natural_less(const NaturalKey& a, const NaturalKey& b) {
    if (a.number != b.number) return a.number < b.number;
    return a.name < b.name;
}

}  // namespace korvath
