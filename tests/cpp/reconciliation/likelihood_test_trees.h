// Small species and gene trees shared by the likelihood unit tests.
#pragma once

#include "reconciliation/clade_graph.h"
#include "reconciliation/dated_extinction.h"
#include "reconciliation/likelihood_drivers.h"
#include "reconciliation/likelihood_input.h"
#include "reconciliation/undated_model.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace korvath::reconciliation::testing {

// Root 2 at time 0 without a stem, tips 0 and 1 at time 1.
inline FlatSpeciesTree cherry() {
    FlatSpeciesTree sp;
    sp.sp_parent = {2, 2, -1};
    sp.sp_left = {-1, -1, 0};
    sp.sp_right = {-1, -1, 1};
    sp.sp_is_leaf = {1, 1, 0};
    sp.sp_time = {1.0, 1.0, 0.0};
    sp.sp_parent_time = {0.0, 0.0, 0.0};
    sp.sp_root = 2;
    return sp;
}

inline DatedExtinction dated_model(FlatSpeciesTree sp, DtlRates rates, std::uint64_t n_steps) {
    const std::size_t n = sp.sp_parent.size();
    return build_dated_extinction(n, std::move(sp.sp_left), std::move(sp.sp_right),
                                  std::move(sp.sp_is_leaf), std::move(sp.sp_time),
                                  std::move(sp.sp_parent_time), sp.sp_root, rates, n_steps);
}

inline UndatedExtinction undated_model(FlatSpeciesTree sp, DtlRates rates, std::uint8_t transfers) {
    return build_undated_extinction(std::move(sp.sp_left), std::move(sp.sp_right),
                                    std::move(sp.sp_is_leaf), sp.sp_time, sp.sp_parent_time,
                                    sp.sp_root, rates, transfers);
}

// A batch holding the given trees one after another.
struct TreeSpec {
    std::vector<std::uint8_t> is_leaf;
    std::vector<std::int64_t> left, right, species;
};

inline GeneTreeBatch batch_of(const std::vector<TreeSpec>& trees) {
    GeneTreeBatch batch;
    batch.gt_offsets.push_back(0);
    for (const TreeSpec& t : trees) {
        batch.gt_is_leaf.insert(batch.gt_is_leaf.end(), t.is_leaf.begin(), t.is_leaf.end());
        batch.gt_left.insert(batch.gt_left.end(), t.left.begin(), t.left.end());
        batch.gt_right.insert(batch.gt_right.end(), t.right.begin(), t.right.end());
        batch.gt_species.insert(batch.gt_species.end(), t.species.begin(), t.species.end());
        batch.gt_offsets.push_back(batch.gt_is_leaf.size());
    }
    return batch;
}

inline TreeSpec single_tip(std::int64_t species) { return {{1}, {-1}, {-1}, {species}}; }

inline TreeSpec gene_cherry(std::int64_t a, std::int64_t b) {
    return {{1, 1, 0}, {-1, -1, 0}, {-1, -1, 1}, {a, b, -1}};
}

// A random ultrametric species tree in post-order (tips at time 1, root at
// time 0 with a short stem) and random gene trees over its tips.
// One family's clade graph, built clade by clade (children first): add()
// gives each clade's index, and batch() lists the clades with their splits,
// each split weighted by weight(split count of its clade, whether the clade
// is the root).
struct FamilyBuilder {
    using Split = std::array<std::int64_t, 2>;
    std::vector<std::uint8_t> is_leaf;
    std::vector<std::int64_t> species;
    std::vector<std::vector<Split>> splits;

    std::int64_t add(std::uint8_t leaf, std::int64_t sp, std::vector<Split> s) {
        is_leaf.push_back(leaf);
        species.push_back(sp);
        splits.push_back(std::move(s));
        return static_cast<std::int64_t>(splits.size()) - 1;
    }

    template <typename Weight>
    CladeBatch batch(Weight weight) const {
        CladeBatch out;
        out.cl_is_leaf = is_leaf;
        out.cl_species = species;
        out.cl_offsets = {0, splits.size()};
        out.cl_split_offsets.push_back(0);
        for (std::size_t c = 0; c < splits.size(); ++c) {
            for (const Split& split : splits[c]) {
                out.split_left.push_back(split[0]);
                out.split_right.push_back(split[1]);
                out.split_weight.push_back(weight(splits[c].size(), c + 1 == splits.size()));
            }
            out.cl_split_offsets.push_back(out.split_left.size());
        }
        return out;
    }
};

struct RandomTrees {
    FlatSpeciesTree species;
    std::vector<TreeSpec> genes;
};

inline RandomTrees random_trees(std::uint64_t seed, std::size_t species_tips, std::size_t n_genes,
                                std::size_t gene_tips) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    RandomTrees out;
    FlatSpeciesTree& sp = out.species;
    std::vector<std::size_t> lineages;
    std::vector<std::size_t> tips;
    for (std::size_t i = 0; i < species_tips; ++i) {
        sp.sp_left.push_back(-1);
        sp.sp_right.push_back(-1);
        sp.sp_is_leaf.push_back(1);
        sp.sp_time.push_back(1.0);
        lineages.push_back(i);
        tips.push_back(i);
    }
    while (lineages.size() > 1) {
        auto pick = [&] {
            const std::size_t at = rng() % lineages.size();
            const std::size_t node = lineages[at];
            lineages.erase(lineages.begin() + static_cast<std::ptrdiff_t>(at));
            return node;
        };
        const std::size_t a = pick();
        const std::size_t b = pick();
        const double t = lineages.empty() ? 0.0 : std::min(sp.sp_time[a], sp.sp_time[b]) * unit(rng);
        sp.sp_left.push_back(static_cast<std::int64_t>(a));
        sp.sp_right.push_back(static_cast<std::int64_t>(b));
        sp.sp_is_leaf.push_back(0);
        sp.sp_time.push_back(t);
        lineages.push_back(sp.sp_time.size() - 1);
    }
    const std::size_t n = sp.sp_time.size();
    sp.sp_root = n - 1;
    sp.sp_parent.assign(n, -1);
    sp.sp_parent_time.assign(n, -0.1);
    for (std::size_t i = 0; i < n; ++i) {
        if (sp.sp_is_leaf[i]) continue;
        for (std::int64_t c : {sp.sp_left[i], sp.sp_right[i]}) {
            sp.sp_parent[static_cast<std::size_t>(c)] = static_cast<std::int64_t>(i);
            sp.sp_parent_time[static_cast<std::size_t>(c)] = sp.sp_time[i];
        }
    }
    for (std::size_t k = 0; k < n_genes; ++k) {
        TreeSpec t;
        std::vector<std::int64_t> pending;
        for (std::size_t i = 0; i < gene_tips; ++i) {
            t.is_leaf.push_back(1);
            t.left.push_back(-1);
            t.right.push_back(-1);
            t.species.push_back(static_cast<std::int64_t>(tips[rng() % tips.size()]));
            pending.push_back(static_cast<std::int64_t>(i));
        }
        while (pending.size() > 1) {
            const std::size_t at = rng() % (pending.size() - 1);
            t.is_leaf.push_back(0);
            t.left.push_back(pending[at]);
            t.right.push_back(pending[at + 1]);
            t.species.push_back(-1);
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(at),
                          pending.begin() + static_cast<std::ptrdiff_t>(at) + 2);
            pending.push_back(static_cast<std::int64_t>(t.is_leaf.size()) - 1);
        }
        out.genes.push_back(std::move(t));
    }
    return out;
}

}  // namespace korvath::reconciliation::testing
