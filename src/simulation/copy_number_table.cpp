#include "simulation/copy_number_table.h"

#include <algorithm>
#include <cstdint>

namespace korvath {

ProfileTable copy_number_table(std::vector<ExtantCopies>& extant_copies) {
    ProfileTable table;
    table.extant_leaves.reserve(extant_copies.size());
    std::vector<std::uint64_t> families;
    std::uint32_t ordinal = 0;
    for (ExtantCopies& leaf : extant_copies) {
        table.extant_leaves.push_back(static_cast<std::uint32_t>(leaf.node));
        families.clear();
        for (const GeneCopy& copy : leaf.copies) families.push_back(copy.family);
        CopyList().swap(leaf.copies);
        std::sort(families.begin(), families.end());
        for (std::size_t i = 0; i < families.size();) {
            std::size_t j = i + 1;
            while (j < families.size() && families[j] == families[i]) ++j;
            table.leaf.push_back(ordinal);
            table.family.push_back(families[i]);
            table.count.push_back(static_cast<std::uint32_t>(j - i));
            i = j;
        }
        ++ordinal;
    }
    return table;
}

}  // namespace korvath
