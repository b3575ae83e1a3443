// Small helpers shared by the simulation unit tests.
#pragma once

#include "simulation/rng.h"
#include "simulation/dated_tree.h"

#include <cstdint>
#include <vector>

namespace korvath::testing {

inline SpeciesTree make_tree(std::vector<std::int64_t> parent, std::vector<double> time,
                             std::vector<std::uint8_t> extant, std::uint64_t root,
                             std::int64_t n_nodes = -1) {
    SpeciesTreeArrays arrays;
    arrays.n_nodes = n_nodes < 0 ? parent.size() : static_cast<std::uint64_t>(n_nodes);
    arrays.parent = std::move(parent);
    arrays.time = std::move(time);
    arrays.extant_leaf = std::move(extant);
    arrays.root = root;
    return SpeciesTree(std::move(arrays));
}

// How many next_u64 calls separate `after` from `before` (up to `limit`), or -1.
inline int draws_between(Rng before, const Rng& after, int limit = 8) {
    for (int k = 0; k <= limit; ++k) {
        bool same = true;
        for (int i = 0; i < 4; ++i) same = same && before.state(i) == after.state(i);
        if (same) return k;
        before.next_u64();
    }
    return -1;
}

}  // namespace korvath::testing
