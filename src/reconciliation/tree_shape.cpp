#include "reconciliation/tree_shape.h"

#include "support/faults.h"

#include <string>

namespace korvath::reconciliation {

std::size_t species_child(const std::vector<std::int64_t>& children, std::size_t node,
                          std::size_t n, const char* array) {
    const std::int64_t child = checked_at(children, node, array);
    if (child < 0 || static_cast<std::uint64_t>(child) >= n) {
        fault(std::string(array) + "[" + std::to_string(node) + "] = " + std::to_string(child) +
              " is outside the species tree of " + std::to_string(n) + " branches");
    }
    return static_cast<std::size_t>(child);
}

bool species_tip(const std::vector<std::uint8_t>& is_leaf, std::size_t node) {
    return checked_at(is_leaf, node, "sp_is_leaf") != 0;
}

template <class T>
void require_length(const std::vector<T>& values, std::size_t n, const char* array) {
    if (values.size() < n) {
        fault(std::string(array) + " has length " + std::to_string(values.size()) +
              " but the species tree has " + std::to_string(n) + " branches");
    }
}

template void require_length(const std::vector<double>&, std::size_t, const char*);
template void require_length(const std::vector<std::int64_t>&, std::size_t, const char*);
template void require_length(const std::vector<std::uint8_t>&, std::size_t, const char*);

}  // namespace korvath::reconciliation
