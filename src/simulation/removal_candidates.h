// The copies a removal after a transfer chooses from. On the recipient, the
// positions of the family's copies are split into the residents and the copy
// that just arrived (gene id `arrived`); both lists are in ascending position
// order, the order a front-to-back walk of the copy list meets them.
#pragma once

#include "simulation/event_log.h"
#include "simulation/family_index.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace korvath {

struct RemovalCandidates {
    std::vector<std::size_t> residents;
    std::vector<std::size_t> arrived;

    // The list the removal picks from: residents first, the arrived copy only
    // when no resident is left (possibly empty).
    const std::vector<std::size_t>& chosen() const { return residents.empty() ? arrived : residents; }
};

// Walks the whole copy list: linear in its length.
inline void scan_removal_candidates(const CopyList& copies, std::uint64_t family,
                                    std::uint64_t arrived, RemovalCandidates& out) {
    out.residents.clear();
    out.arrived.clear();
    for (std::size_t p = 0; p < copies.size(); ++p) {
        const GeneCopy& copy = copies[p];
        if (copy.family != family) continue;
        (copy.gene == arrived ? out.arrived : out.residents).push_back(p);
    }
}

// The same lists from the family index: linear in the family's copy count on
// the branch, plus a sort of those few positions.
inline void index_removal_candidates(const CopyList& copies, const FamilyIndex& index,
                                     std::uint64_t family, std::uint64_t arrived,
                                     RemovalCandidates& out) {
    out.residents.clear();
    out.arrived.clear();
    index.collect(family, out.residents);
    std::size_t kept = 0;
    for (const std::size_t p : out.residents) {
        if (checked_at(copies, p, "copy position").gene == arrived) {
            out.arrived.push_back(p);
        } else {
            out.residents[kept++] = p;
        }
    }
    out.residents.resize(kept);
    std::sort(out.residents.begin(), out.residents.end());
    std::sort(out.arrived.begin(), out.arrived.end());
}

// Whichever of the two is cheaper: the index unless the family holds a large
// share of the list, where one sequential walk beats chasing its positions.
inline void find_removal_candidates(const CopyList& copies, const FamilyIndex& index,
                                    std::uint64_t family, std::uint64_t arrived,
                                    RemovalCandidates& out) {
    if (static_cast<std::size_t>(index.count(family)) * 8 > copies.size()) {
        scan_removal_candidates(copies, family, arrived, out);
    } else {
        index_removal_candidates(copies, index, family, arrived, out);
    }
}

}  // namespace korvath
