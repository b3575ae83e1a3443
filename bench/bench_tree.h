// Birth-death species trees for the native benchmarks: grown forward
// (birth 1, death 0.5) until `n_leaves` lineages live, then dated so that the
// present is at 1. Extinct lineages stay as leaves; every child has a larger
// index than its parent, and the root is node 0.
#pragma once

#include "simulation/rng.h"
#include "simulation/dated_tree_arrays.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvath::bench {

inline SpeciesTreeArrays birth_death_tree(std::size_t n_leaves, std::uint64_t seed) {
    Rng rng = Rng::from_seed(seed);
    for (;;) {
        std::vector<std::int64_t> parent = {-1, 0, 0};
        std::vector<double> end = {0.0, -1.0, -1.0};
        std::vector<std::uint32_t> living = {1, 2};
        double t = 0.0;
        const double birth = 1.0, death = 0.5;
        bool died = false;
        while (living.size() != n_leaves) {
            const double k = static_cast<double>(living.size());
            t += -std::log(1.0 - rng.next_f64()) / ((birth + death) * k);
            const std::size_t slot = rng.index_below(living.size());
            const std::uint32_t v = living[slot];
            living[slot] = living.back();
            living.pop_back();
            end[v] = t;
            if (rng.next_f64() < birth / (birth + death)) {
                for (int c = 0; c < 2; ++c) {
                    parent.push_back(v);
                    end.push_back(-1.0);
                    living.push_back(static_cast<std::uint32_t>(parent.size() - 1));
                }
            } else if (living.empty()) {
                died = true;
                break;
            }
        }
        if (died) continue;
        const double present = t + 0.5 * -std::log(1.0 - rng.next_f64()) /
                                       (1.5 * static_cast<double>(n_leaves));
        SpeciesTreeArrays tree;
        tree.n_nodes = parent.size();
        tree.parent = parent;
        tree.time.resize(parent.size());
        tree.extant_leaf.assign(parent.size(), 0);
        for (std::size_t v = 0; v < parent.size(); ++v) tree.time[v] = end[v] / present;
        for (std::uint32_t v : living) {
            tree.time[v] = 1.0;
            tree.extant_leaf[v] = 1;
        }
        return tree;
    }
}

}  // namespace korvath::bench
