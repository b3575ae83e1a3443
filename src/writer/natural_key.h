// Natural ordering of species names: names compare first by the number formed
// from all their ASCII digits, then by their bytes. "sp2" comes before "sp10".
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace korvath {

// The number formed by every ASCII digit of `name`, in order ("n12x3" -> 123),
// read as a signed 128-bit integer; no digits, or a value beyond the signed
// 128-bit range, gives 0.
__int128 natural_number(std::string_view name);

struct NaturalKey {
    __int128 number;
    std::string_view name;
};

NaturalKey natural_key(std::string_view name);

// Orders by number, then by the names' bytes (a proper prefix first).
bool natural_less(const NaturalKey& a, const NaturalKey& b);

// Sorts `items` stably by the natural key of name_of(item).
template <class T, class NameOf>
void sort_naturally(std::vector<T>& items, NameOf name_of);

}  // namespace korvath

#include "writer/natural_key_sort.h"
