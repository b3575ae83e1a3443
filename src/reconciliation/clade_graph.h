// Gene families as clade graphs: the clades of a family in post-order, each
// tip clade on a species branch and each other clade with one or more
// weighted splits into two earlier clades. One rooted tree is a clade graph
// with one split of weight 1 per internal node; an unrooted tree adds a root
// clade whose splits are its edges; a sample of trees gives every observed
// clade its observed splits, weighted by their conditional frequencies. The
// likelihood of a clade is linear in its weighted splits, so one scorer
// serves all three.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvath::reconciliation {

// K families: family k owns the global clades cl_offsets[k] .. cl_offsets[k+1]-1,
// the last of them its root. Clade i (global) owns the splits
// cl_split_offsets[i] .. cl_split_offsets[i+1]-1; a split names its two
// clades by their local index within the family, both below the clade's own.
struct CladeBatch {
    std::vector<std::uint64_t> cl_offsets;
    std::vector<std::uint8_t> cl_is_leaf;
    std::vector<std::int64_t> cl_species;       // tips: species branch; others: unused
    std::vector<std::uint64_t> cl_split_offsets;  // one more than the clades
    std::vector<std::int64_t> split_left;
    std::vector<std::int64_t> split_right;
    std::vector<double> split_weight;
};

// One family, checked: local clade c has splits split_begin[c] .. split_begin[c+1]-1
// of the (global) split arrays.
struct CladeFamily {
    std::span<const std::uint8_t> is_leaf;
    std::span<const std::int64_t> species;
    std::vector<std::size_t> split_begin;  // size() + 1 entries
    std::span<const std::int64_t> split_left;
    std::span<const std::int64_t> split_right;
    std::span<const double> split_weight;

    std::size_t size() const { return is_leaf.size(); }
    bool is_tip(std::size_t c) const { return is_leaf[c] != 0; }
};

std::size_t family_count(const CladeBatch& batch);

// Cuts family k out of the batch. Internal fault unless its ranges lie in
// the arrays, it has at least one clade, every clade that is not a tip has
// at least one split, and every split names two clades below its own.
CladeFamily cut_family(const CladeBatch& batch, std::size_t k);

}  // namespace korvath::reconciliation
