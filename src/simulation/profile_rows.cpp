#include "simulation/profile_rows.h"

#include "support/faults.h"

#include <limits>

namespace korvath {

std::vector<std::uint32_t> extant_leaf_list(const SpeciesTree& tree) {
    std::vector<std::uint32_t> leaves;
    for (std::uint32_t v : tree.processing_order()) {
        if (tree.is_extant_leaf(v)) leaves.push_back(v);
    }
    return leaves;
}

ProfileTable merge_profile_rows(std::vector<std::uint32_t> extant_leaves,
                                const std::vector<ProfileRows>& parts) {
    ProfileTable table;
    table.extant_leaves = std::move(extant_leaves);
    std::size_t n_rows = 0;
    for (const ProfileRows& part : parts) n_rows += part.size();
    table.leaf.reserve(n_rows);
    table.family.reserve(n_rows);
    table.count.reserve(n_rows);

    std::uint64_t offset = 0;
    for (const ProfileRows& part : parts) {
        if (part.leaf.size() != part.family.size() || part.leaf.size() != part.count.size()) {
            fault("profile rows with columns of different lengths");
        }
        table.leaf.insert(table.leaf.end(), part.leaf.begin(), part.leaf.end());
        table.count.insert(table.count.end(), part.count.begin(), part.count.end());
        for (std::uint64_t family : part.family) {
            if (family > std::numeric_limits<std::uint64_t>::max() - offset) {
                fault("family id overflows when merging profile rows");
            }
            table.family.push_back(family + offset);
        }
        if (part.n_families > std::numeric_limits<std::uint64_t>::max() - offset) {
            fault("family count overflows when merging profile rows");
        }
        offset += part.n_families;
    }
    return table;
}

}  // namespace korvath
