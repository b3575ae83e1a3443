// The copy-number rows of a counts-only run and the table the profile
// functions return.
#pragma once

#include "simulation/dated_tree.h"

#include <cstdint>
#include <vector>

namespace korvath {

// One counts-only run's rows: one per (extant leaf, family present on it),
// grouped by leaf ordinal in processing order, then by ascending family id.
struct ProfileRows {
    std::vector<std::uint32_t> leaf;    // ordinal of the extant leaf
    std::vector<std::uint64_t> family;  // family id
    std::vector<std::uint32_t> count;   // copies of the family on the leaf, at least 1
    std::uint64_t n_families = 0;       // family ids handed out by the run
    std::uint64_t events = 0;           // events counted by the run (for benchmarks)

    void append(std::uint32_t leaf_ordinal, std::uint64_t family_id, std::uint32_t copies) {
        leaf.push_back(leaf_ordinal);
        family.push_back(family_id);
        count.push_back(copies);
    }
    std::size_t size() const { return leaf.size(); }
};

// The copy-number table: the extant leaf nodes in processing order, and the
// rows as three parallel columns whose `leaf` entries index `extant_leaves`.
struct ProfileTable {
    std::vector<std::uint32_t> extant_leaves;
    std::vector<std::uint32_t> leaf;
    std::vector<std::uint64_t> family;
    std::vector<std::uint32_t> count;
};

// The rows of several runs, in run order, before they are concatenated: the
// family ids of part k are shifted by family_offsets[k] in the merged table.
// Callers that only copy the rows out (into Python bytes, say) can do so from
// the parts directly instead of building the merged table first.
struct ProfileParts {
    std::vector<std::uint32_t> extant_leaves;
    std::vector<ProfileRows> parts;
    std::vector<std::uint64_t> family_offsets;  // one per part
    std::size_t n_rows = 0;                     // rows of all parts together
};

// Checks the parts (columns of equal length, family counts whose running sum
// stays within 64 bits) and computes their offsets and row count.
ProfileParts collect_profile_parts(std::vector<std::uint32_t> extant_leaves,
                                   std::vector<ProfileRows> parts);

// A run hands out family ids below its n_families only, so a shifted id
// cannot overflow; faults when `largest` (the part's largest id) breaks this.
void check_family_ids(const ProfileRows& part, std::uint64_t largest);

// Concatenates the parts' rows into one table, shifting family ids.
ProfileTable merge_profile_parts(ProfileParts parts);

// The nodes of the processing order whose extant-leaf flag is set, in order.
std::vector<std::uint32_t> extant_leaf_list(const SpeciesTree& tree);

// Concatenates the rows of `parts` in order. Family ids of each part are
// shifted by the sum of n_families of the parts before it, so ids of
// different parts never meet; leaf ordinals and counts are kept.
ProfileTable merge_profile_rows(std::vector<std::uint32_t> extant_leaves,
                                std::vector<ProfileRows> parts);

}  // namespace korvath
