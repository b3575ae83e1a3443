// Stable natural sort; the keys are computed once per item.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace korvath {

template <class T, class NameOf>
void sort_naturally(std::vector<T>& items, NameOf name_of) {
    std::vector<std::pair<NaturalKey, std::size_t>> keyed;
    keyed.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        keyed.emplace_back(natural_key(name_of(items[i])), i);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        return natural_less(a.first, b.first);
    });
    std::vector<T> sorted;
    sorted.reserve(items.size());
    for (const auto& entry : keyed) sorted.push_back(std::move(items[entry.second]));
    items = std::move(sorted);
}

}  // namespace korvath
