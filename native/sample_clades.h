// The clade graph of one family from a sample of trees: every observed clade
// with its observed splits, weighted by their conditional frequencies, and the
// whole leaf set with its observed root splits (or, for unrooted trees, the
// sides of every observed edge). The pure Python version in korvath/clades.py
// (family_clades) is the reference: the same clades in the same order, the
// same splits, the same weights to the bit.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace korvath::native {

// Trees that are not binary trees over the same leaves.
class CladeError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct SampleTrees {
    // Tree t owns nodes offsets[t] .. offsets[t+1]-1 of `parent` and `leaf`,
    // numbered locally in pre-order: parent[0] = -1, 0 <= parent[v] < v.
    std::span<const std::int64_t> offsets;
    std::span<const std::int64_t> parent;
    // For a node without children, its leaf 0 .. n_leaves-1 (each once per
    // tree); ignored for the other nodes.
    std::span<const std::int64_t> leaf;
    std::int64_t n_leaves = 0;
    bool rooted = true;
};

// Clades in post-order: the leaves (leaf i is clade i), then the other
// observed clades by size and then by leaf set (read as a binary number with
// leaf i as bit i), then, for two leaves or more, the whole leaf set.
struct SampleClades {
    std::vector<std::int64_t> split_counts;  // per clade
    std::vector<std::int64_t> split_left;    // per split, the smaller leaf set first
    std::vector<std::int64_t> split_right;
    std::vector<double> split_weight;
};

// Throws CladeError for trees that do not hold together.
SampleClades sample_clades(const SampleTrees& trees);

}  // namespace korvath::native
