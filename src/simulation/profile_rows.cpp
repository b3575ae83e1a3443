#include "simulation/profile_rows.h"

#include "support/faults.h"

#include <algorithm>
#include <limits>
#include <string>

namespace korvath {

std::vector<std::uint32_t> extant_leaf_list(const SpeciesTree& tree) {
    std::vector<std::uint32_t> leaves;
    for (std::uint32_t v : tree.processing_order()) {
        if (tree.is_extant_leaf(v)) leaves.push_back(v);
    }
    return leaves;
}

void check_family_ids(const ProfileRows& part, std::uint64_t largest) {
    if (part.size() != 0 && largest >= part.n_families) {
        fault("profile row names family " + std::to_string(largest) + " of a run that handed out " +
              std::to_string(part.n_families));
    }
}

ProfileParts collect_profile_parts(std::vector<std::uint32_t> extant_leaves,
                                   std::vector<ProfileRows> parts) {
    ProfileParts collected;
    collected.extant_leaves = std::move(extant_leaves);
    collected.family_offsets.reserve(parts.size());
    std::uint64_t offset = 0;
    for (const ProfileRows& part : parts) {
        if (part.leaf.size() != part.family.size() || part.leaf.size() != part.count.size()) {
            fault("profile rows with columns of different lengths");
        }
        collected.family_offsets.push_back(offset);
        collected.n_rows += part.size();
        if (part.n_families > std::numeric_limits<std::uint64_t>::max() - offset) {
            fault("family count overflows when merging profile rows");
        }
        offset += part.n_families;
    }
    collected.parts = std::move(parts);
    return collected;
}

ProfileTable merge_profile_parts(ProfileParts parts) {
    ProfileTable table;
    table.extant_leaves = std::move(parts.extant_leaves);
    table.leaf.reserve(parts.n_rows);
    table.family.reserve(parts.n_rows);
    table.count.reserve(parts.n_rows);
    for (std::size_t k = 0; k < parts.parts.size(); ++k) {
        const ProfileRows& part = parts.parts[k];
        const std::uint64_t offset = parts.family_offsets[k];
        table.leaf.insert(table.leaf.end(), part.leaf.begin(), part.leaf.end());
        table.count.insert(table.count.end(), part.count.begin(), part.count.end());
        std::uint64_t largest = 0;
        for (std::uint64_t family : part.family) {
            largest = std::max(largest, family);
            table.family.push_back(family + offset);
        }
        check_family_ids(part, largest);
    }
    return table;
}

ProfileTable merge_profile_rows(std::vector<std::uint32_t> extant_leaves,
                                std::vector<ProfileRows> parts) {
    return merge_profile_parts(collect_profile_parts(std::move(extant_leaves), std::move(parts)));
}

}  // namespace korvath
