// The dated species tree as the caller passes it: flat arrays indexed by node.
#pragma once

#include <cstdint>
#include <vector>

namespace korvath {

struct SpeciesTreeArrays {
    std::uint64_t n_nodes = 0;
    std::vector<std::int64_t> parent;     // negative: no parent
    std::vector<double> time;             // date of the node on the forward time axis
    std::vector<std::uint8_t> extant_leaf;  // 1 for a sampled leaf reaching the present
    std::uint64_t root = 0;
};

}  // namespace korvath
