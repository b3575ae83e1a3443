// The copy count of every gene family on one branch, for the counts-only
// engine: ascending iteration by family id, lookup by id, and the pick of the
// family that holds the j-th copy (copies ordered by ascending family id) in
// O(log F).
//
// Layout: one slot per family id the branch holds (or held), ids ascending,
// with the counts in a parallel array. A family whose count drops to 0 keeps
// its slot as a tombstone, because families often come back by transfer; an id
// that arrives in the middle of the id order costs a shift and an O(F)
// rebuild. New families (originations) always carry the largest id of the
// run, so they are appended. Tombstones are compacted away once they outnumber
// the live families. Copying the whole structure to a child is a few flat
// array copies.
//
// The cumulative pick runs on a 16-ary tree of sums over the slots: every
// node is one 64-byte line of 16 exclusive prefix sums of its children's
// totals, so a pick reads one line per level (log16 F levels) and counts the
// prefixes not above the index without branching. Updates add to the prefixes
// after the child on each level. Sums and family ids are 32-bit: a run has at
// most 2^31 founding families and mints at most one id or copy per event (at
// most 2e9 events), so both stay below 2^32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace korvath {

class FamilyCounts {
public:
    static constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();

    FamilyCounts() = default;

    // A branch holding one copy of each of the families 0 .. n_families-1.
    static FamilyCounts founders(std::uint64_t n_families);

    // Sum of all counts.
    std::uint64_t copy_total() const { return copy_total_; }
    // Number of families with a positive count.
    std::size_t family_count() const { return ids_.size() - dead_; }

    std::size_t slot_count() const { return ids_.size(); }
    std::uint64_t id_at(std::size_t slot) const { return ids_[slot]; }
    std::uint32_t count_at(std::size_t slot) const { return counts_[slot]; }

    // The slot of family `id`, or kAbsent (a tombstone slot is returned too).
    std::size_t find(std::uint64_t id) const;
    // The count of family `id`, 0 when absent.
    std::uint32_t count_of(std::uint64_t id) const;

    // The slot of the family whose range of the cumulative count, in ascending
    // id order, contains `index`: the family F for which the copies of the
    // smaller ids sum to at most `index` and adding F's count passes it.
    // Faults when index >= copy_total().
    std::size_t slot_of_copy(std::uint64_t index) const;

    // Adds one copy to the family in `slot`.
    void add_copy_at(std::size_t slot);
    // Adds one copy of family `id`, creating its slot when needed; returns the
    // slot, valid until the next change of the structure.
    std::size_t add_copy(std::uint64_t id);
    // Removes `k` copies (at most the count) from the family in `slot`. May
    // compact, so every slot number is invalid afterwards.
    void remove_copies_at(std::size_t slot, std::uint32_t k);

    // Calls fn(id, count) for every family with a positive count, by ascending id.
    template <class Fn>
    void for_each_family(Fn&& fn) const {
        for (std::size_t s = 0; s < ids_.size(); ++s) {
            if (counts_[s] != 0) fn(ids_[s], counts_[s]);
        }
    }

    // Drops the tombstones (slot numbers change).
    void compact();

private:
    static constexpr std::size_t kFanout = 16;
    static constexpr std::size_t kMaxLevels = 9;  // 16^8 slots already exceed 32-bit sums

    // First slot whose id is not below `id` (the slot count when none).
    std::size_t lower_bound(std::uint64_t id) const;
    void append_slot(std::uint64_t id, std::uint32_t count);
    std::size_t insert_slot(std::size_t slot, std::uint64_t id, std::uint32_t count);
    // Adds `delta` (modulo 2^32, so a negated value subtracts) to the sums
    // that cover `slot`.
    void sums_add(std::size_t slot, std::uint32_t delta);
    // Sizes the sum tree for the current slots (with room to grow) and fills
    // it from counts_.
    void rebuild_sums();

    std::vector<std::uint32_t> ids_;     // ascending
    std::vector<std::uint32_t> counts_;  // per slot; 0 marks a tombstone
    // The sum tree, level 0 (nodes over 16 slots each) first, the single root
    // node last; level k starts at level_start_[k].
    std::vector<std::uint32_t> sums_;
    std::size_t level_start_[kMaxLevels] = {};
    std::size_t levels_ = 0;
    std::size_t capacity_ = 0;           // slots the sum tree covers
    std::uint64_t copy_total_ = 0;
    std::size_t dead_ = 0;               // number of tombstones
};

}  // namespace korvath
