// The bookkeeping the writer builds once from an engine run: which extant
// leaf each gene sits in, the copy counts per leaf and family, the column
// order of the wide tables, the events of each family and the per-family
// totals. Built on the calling thread, then only read (also by workers).
#pragma once

#include "simulation/event_log.h"
#include "writer/event_row.h"
#include "writer/flat_map.h"

#include <cstddef>
#include <cstdint>
#include <memory>
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
    std::vector<std::uint64_t> species_order;             // column leaf nodes, natural order
    std::vector<std::size_t> column_slots;                // slot of each column
};

// An extant copy: the gene and the leaf node it sits in.
struct ExtantGene {
    std::uint64_t gene;
    std::uint64_t leaf;
};

// Events and extant copies grouped by family, families in ascending id order.
// A family's gene tree only ever looks up the leaves of its own genes, and
// gene ids are unique within a run, so each family keeps its own list of
// extant copies (in the order of the engine's result: a later entry for the
// same gene replaces an earlier one) instead of one run-wide gene map.
struct FamilyEvents {
    std::vector<std::uint64_t> families;   // every family with at least one event
    std::vector<std::size_t> offsets;      // families.size() + 1 bounds into `positions`
    std::vector<std::uint32_t> positions;  // log positions by family, log order within a family
    std::vector<std::size_t> extant_offsets;  // families.size() + 1 bounds into `extant`
    std::vector<ExtantGene> extant;           // by family, result order within a family

    std::span<const std::uint32_t> positions_of(std::size_t family_rank) const {
        return {positions.data() + offsets[family_rank],
                offsets[family_rank + 1] - offsets[family_rank]};
    }
    // The family's events as rows, in log order, into `out` (replacing its contents).
    void gather_rows(std::size_t family_rank, const EventLog& log,
                     std::vector<EventRow>& out) const;
    std::span<const ExtantGene> extant_of(std::size_t family_rank) const {
        return {extant.data() + extant_offsets[family_rank],
                extant_offsets[family_rank + 1] - extant_offsets[family_rank]};
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

// Groups the log's positions and the extant copies by family (copies of
// families without events are left out). The columns must have equal lengths.
// Only positions are kept (4 bytes per event): each family's rows are copied
// out of the columns when the family is written, into memory reused from
// family to family, instead of one fresh copy of the whole log.
FamilyEvents group_by_family(const EventLog& log, const std::vector<ExtantCopies>& extant);

// Totals per family from the leaves' counts, and the sorted row families.
void total_families(const LeafIndex& leaves, FlatMap<FamilyTotals>& totals,
                    std::vector<std::uint64_t>& row_families);

}  // namespace korvath
