#include "writer/write_index.h"

#include "support/faults.h"
#include "writer/natural_key.h"

#include <algorithm>
#include <limits>

namespace korvath {

LeafIndex index_leaves(const std::vector<ExtantCopies>& extant,
                       const std::vector<std::string>& names) {
    if (extant.size() >= std::numeric_limits<std::uint32_t>::max()) {
        fault("too many extant leaves to index");
    }
    LeafIndex index;
    FlatMap<std::uint32_t> slot_of_leaf(extant.size());

    std::vector<std::size_t> entry_slots;
    entry_slots.reserve(extant.size());
    for (const ExtantCopies& entry : extant) {
        std::uint32_t* known = slot_of_leaf.find(entry.node);
        std::uint32_t slot;
        if (known != nullptr) {
            slot = *known;
        } else {
            slot = static_cast<std::uint32_t>(index.slot_node.size());
            slot_of_leaf[entry.node] = slot;
            index.slot_node.push_back(entry.node);
            index.family_counts.emplace_back();
        }
        entry_slots.push_back(slot);
        FlatMap<std::uint64_t>& counts = index.family_counts[slot];
        for (const GeneCopy& copy : entry.copies) counts[copy.family] += 1;
    }

    // Columns: one per entry of `extant`, stably sorted by the leaves' names.
    std::vector<std::size_t> order(extant.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    sort_naturally(order, [&](std::size_t entry) -> const std::string& {
        return checked_at(names, extant[entry].node, "names");
    });
    index.species_order.reserve(order.size());
    index.column_slots.reserve(order.size());
    for (std::size_t entry : order) {
        index.species_order.push_back(extant[entry].node);
        index.column_slots.push_back(entry_slots[entry]);
    }
    return index;
}

namespace {

// Dense rank of each family id in ascending order. Engine family ids run from
// 0 without gaps, so a table indexed by id is used whenever the ids are that
// compact; otherwise the distinct ids are sorted and looked up in a map.
class FamilyRanks {
public:
    explicit FamilyRanks(const std::vector<std::uint64_t>& family_column) {
        std::uint64_t largest = 0;
        for (std::uint64_t f : family_column) largest = std::max(largest, f);
        dense_ = !family_column.empty() && largest <= 2 * family_column.size() + 64;
        if (dense_) {
            std::vector<std::uint8_t> seen(static_cast<std::size_t>(largest) + 1, 0);
            for (std::uint64_t f : family_column) seen[f] = 1;
            rank_by_id_.assign(seen.size(), kAbsent);
            for (std::size_t id = 0; id < seen.size(); ++id) {
                if (!seen[id]) continue;
                rank_by_id_[id] = families_.size();
                families_.push_back(id);
            }
        } else {
            families_ = family_column;
            std::sort(families_.begin(), families_.end());
            families_.erase(std::unique(families_.begin(), families_.end()), families_.end());
            rank_by_map_.reserve(families_.size());
            for (std::size_t r = 0; r < families_.size(); ++r) rank_by_map_[families_[r]] = r;
        }
    }

    static constexpr std::size_t kAbsent = ~std::size_t{0};

    // The rank of a family that has events.
    std::size_t rank(std::uint64_t family) const {
        return dense_ ? rank_by_id_[family] : *rank_by_map_.find(family);
    }

    // The rank of any family id, kAbsent for one without events.
    std::size_t find(std::uint64_t family) const {
        if (dense_) return family < rank_by_id_.size() ? rank_by_id_[family] : kAbsent;
        const std::size_t* rank = rank_by_map_.find(family);
        return rank != nullptr ? *rank : kAbsent;
    }

    std::vector<std::uint64_t> take_families() { return std::move(families_); }

private:
    bool dense_ = false;
    std::vector<std::size_t> rank_by_id_;
    FlatMap<std::size_t> rank_by_map_;
    std::vector<std::uint64_t> families_;
};

}  // namespace

FamilyEvents group_by_family(const EventLog& log, const std::vector<ExtantCopies>& extant) {
    const std::vector<std::uint64_t>& family = log.family;
    FamilyRanks ranks(family);
    FamilyEvents grouped;
    grouped.families = ranks.take_families();

    grouped.offsets.assign(grouped.families.size() + 1, 0);
    for (std::uint64_t f : family) grouped.offsets[ranks.rank(f) + 1] += 1;
    for (std::size_t r = 0; r < grouped.families.size(); ++r) {
        grouped.offsets[r + 1] += grouped.offsets[r];
    }
    // One sequential pass over the family column; each family's positions
    // fill in behind its cursor.
    if (family.size() > std::numeric_limits<std::uint32_t>::max()) {
        fault("too many events in the log to group");
    }
    std::vector<std::size_t> fill(grouped.offsets.begin(), grouped.offsets.end() - 1);
    grouped.positions.resize(family.size());
    for (std::size_t e = 0; e < family.size(); ++e) {
        grouped.positions[fill[ranks.rank(family[e])]++] = static_cast<std::uint32_t>(e);
    }

    // The same counting sort for the extant copies.
    grouped.extant_offsets.assign(grouped.families.size() + 1, 0);
    for (const ExtantCopies& entry : extant) {
        for (const GeneCopy& copy : entry.copies) {
            const std::size_t rank = ranks.find(copy.family);
            if (rank != FamilyRanks::kAbsent) grouped.extant_offsets[rank + 1] += 1;
        }
    }
    for (std::size_t r = 0; r < grouped.families.size(); ++r) {
        grouped.extant_offsets[r + 1] += grouped.extant_offsets[r];
    }
    fill.assign(grouped.extant_offsets.begin(), grouped.extant_offsets.end() - 1);
    grouped.extant.resize(grouped.extant_offsets.back());
    for (const ExtantCopies& entry : extant) {
        for (const GeneCopy& copy : entry.copies) {
            const std::size_t rank = ranks.find(copy.family);
            if (rank != FamilyRanks::kAbsent) grouped.extant[fill[rank]++] = {copy.gene, entry.node};
        }
    }
    return grouped;
}

void FamilyEvents::gather_rows(std::size_t family_rank, const EventLog& log,
                               std::vector<EventRow>& out) const {
    const std::span<const std::uint32_t> events = positions_of(family_rank);
    out.resize(events.size());
    // The positions lie far apart in the log: fetch a few rows ahead so the
    // columns' cache misses overlap.
    constexpr std::size_t kAhead = 8;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (i + kAhead < events.size()) {
            const std::size_t next = events[i + kAhead];
            __builtin_prefetch(&log.time[next]);
            __builtin_prefetch(&log.gene[next]);
            __builtin_prefetch(&log.child1[next]);
            __builtin_prefetch(&log.recipient_node[next]);
            __builtin_prefetch(&log.branch[next]);
            __builtin_prefetch(&log.kind[next]);
        }
        out[i] = event_row(log, events[i]);
    }
}

void total_families(const LeafIndex& leaves, FlatMap<FamilyTotals>& totals,
                    std::vector<std::uint64_t>& row_families) {
    // Sums are independent of the order the counts are visited in.
    for (const FlatMap<std::uint64_t>& counts : leaves.family_counts) {
        counts.for_each([&](std::uint64_t family, std::uint64_t count) {
            if (count == 0) return;
            FamilyTotals& sums = totals[family];
            sums.copies += count;
            sums.leaves += 1;
        });
    }
    row_families.clear();
    row_families.reserve(totals.size());
    totals.for_each([&](std::uint64_t family, const FamilyTotals&) {
        row_families.push_back(family);
    });
    std::sort(row_families.begin(), row_families.end());
}

}  // namespace korvath
