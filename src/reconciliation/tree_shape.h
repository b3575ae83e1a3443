// Checked reads of the species tree's shape arrays, shared by both models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvath::reconciliation {

// The child index stored for species node `node`, checked to lie in 0 .. n-1.
std::size_t species_child(const std::vector<std::int64_t>& children, std::size_t node,
                          std::size_t n, const char* array);

// Whether species node `node` is a tip (bounds-checked).
bool species_tip(const std::vector<std::uint8_t>& is_leaf, std::size_t node);

// Faults unless `values` has at least n entries.
template <class T>
void require_length(const std::vector<T>& values, std::size_t n, const char* array);

}  // namespace korvath::reconciliation
