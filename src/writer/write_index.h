// The bookkeeping the writer builds once from an engine run: which extant
// leaf each gene sits in, the copy counts per leaf and family, the column
// order of the wide tables, the events of each family and the per-family
// totals. Built on the calling thread, then only read (also by workers).
#pragma once

#include "simulation/event_log.h"
#include "writer/flat_map.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvath {

struct FamilyTotals {
    std::uint64_t copies = 0;  // extant copies of the family over all leaves
    std::uint64_t leaves = 0;  // extant leaves holding at least one copy
};

// Extant leaves and what they hold. A leaf node listed several times in the
// engine's result shares one slot, so its counts merge.
struct LeafIndex {
    std::vector<std::uint64_t> slot_node;                 // slot -> leaf node
    std::vector<FlatMap<std::uint64_t>> family_counts;    // slot -> (family -> copies)
    FlatMap<std::uint32_t> slot_of_gene;                   // gene -> slot (last entry wins)
    std::vector<std::uint64_t> species_order;             // column leaf nodes, natural order
    std::vector<std::size_t> column_slots;                // slot of each column

    // Sets `leaf` to the extant leaf holding `gene`; false when it has none.
    bool leaf_of_gene(std::uint64_t gene, std::uint64_t& leaf) const {
        const std::uint32_t* slot = slot_of_gene.find(gene);
        if (slot == nullptr) return false;
        leaf = slot_node[*slot];
        return true;
    }
};

// Events grouped by family, families in ascending id order.
struct FamilyEvents {
    std::vector<std::uint64_t> families;   // every family with at least one event
    std::vector<std::size_t> offsets;      // families.size() + 1 bounds into `events`
    std::vector<std::size_t> events;       // event indices, log order within a family

    std::span<const std::size_t> of(std::size_t family_rank) const {
        return {events.data() + offsets[family_rank],
                offsets[family_rank + 1] - offsets[family_rank]};
    }
};

struct WriteIndex {
    LeafIndex leaves;
    FamilyEvents family_events;
    FlatMap<FamilyTotals> family_totals;      // only families with extant copies
    std::vector<std::uint64_t> row_families;  // keys of family_totals, ascending
};

// Leaf lookups and the column order; `names` gives the column names.
LeafIndex index_leaves(const std::vector<ExtantCopies>& extant,
                       const std::vector<std::string>& names);

FamilyEvents group_events_by_family(const EventLog& log);

// Totals per family from the leaves' counts, and the sorted row families.
void total_families(const LeafIndex& leaves, FlatMap<FamilyTotals>& totals,
                    std::vector<std::uint64_t>& row_families);

}  // namespace korvath
