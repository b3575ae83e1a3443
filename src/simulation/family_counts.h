// The copy count of every gene family on one branch, for the counts-only
// engine: ascending iteration by family id, lookup by id, and the pick of the
// family that holds the j-th copy (copies ordered by ascending family id) in
// O(log F).
//
// Layout: one slot per family id the branch holds (or held), ids ascending,
// with the counts in a parallel array. Every branch of a run descends from
// the same founding families 0 .. n-1, so they keep slots 0 .. n-1 for good:
// finding a founding family is direct. Any other family whose count drops to
// 0 keeps its slot as a tombstone, because families often come back by
// transfer; such tombstones are compacted away once they outnumber the live
// families after the founders. New families (originations) always carry the
// largest id of the run, so they are appended; an id that arrives in the
// middle of the id order costs a shift and an O(F) rebuild. Copying the whole
// structure to a child is one flat array copy.
//
// The cumulative pick runs on a 16-ary tree of sums over the counts. The
// counts themselves form the lowest level, in groups of 16 (one 64-byte line);
// above them every node is one line of 16 exclusive prefix sums of its
// children's totals. A pick reads one line per level (log16 F lines) and counts
// the prefixes not above the index without branching; in the group it sums
// the 16 counts on the fly, so the count of the chosen family is already in
// cache for the event that follows. Updates add to the prefixes after the
// child on each level. Sums and family ids are 32-bit: a run has at most 2^31
// founding families and mints at most one id or copy per event (at most 2e9
// events), so both stay below 2^32.
#pragma once

#include "simulation/copy_arena.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace korvath {

// Allocates on 64-byte boundaries, so that every group of 16 counts and every
// node of 16 sums is exactly one cache line: from a run's CopyArena when given
// one, from the global heap otherwise. A copied or moved store keeps its arena.
template <class T>
using CacheLineAllocator = ArenaAllocator<T, 64>;

class alignas(64) FamilyCounts {
public:
    static constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();

    FamilyCounts() = default;

    // A branch holding one copy of each of the families 0 .. n_families-1,
    // its storage drawn from `arena` when given (copies share the arena).
    static FamilyCounts founders(std::uint64_t n_families, CopyArena* arena = nullptr);

    // Sum of all counts.
    std::uint64_t copy_total() const { return copy_total_; }
    // Number of families with a positive count.
    std::size_t family_count() const { return n_slots_ - dead_; }

    std::size_t slot_count() const { return n_slots_; }
    std::uint64_t id_at(std::size_t slot) const { return ids()[slot]; }
    std::uint32_t count_at(std::size_t slot) const { return counts()[slot]; }

    // The slot of family `id`, or kAbsent (a tombstone slot is returned too).
    std::size_t find(std::uint64_t id) const;
    // The count of family `id`, 0 when absent.
    std::uint32_t count_of(std::uint64_t id) const;

    // The slot of the family whose range of the cumulative count, in ascending
    // id order, contains `index`: the family F for which the copies of the
    // smaller ids sum to at most `index` and adding F's count passes it.
    // Faults when index >= copy_total().
    std::size_t slot_of_copy(std::uint64_t index) const;
    // The id of the family holding copy number `index` (as slot_of_copy).
    std::uint64_t family_of_copy(std::uint64_t index) const;
    // Starts fetching what a lookup of copy number `index` reads last (its
    // group of counts and ids); no effect on the contents. Out of range: nothing.
    void prefetch_copy(std::uint64_t index) const;

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
        const std::uint32_t* id = ids();
        const std::uint32_t* count = counts();
        for (std::size_t s = 0; s < n_slots_; ++s) {
            if (count[s] != 0) fn(std::uint64_t{id[s]}, count[s]);
        }
    }

    // Drops the tombstones after the founders' slots (slot numbers change).
    void compact();

private:
    static constexpr std::size_t kFanout = 16;
    static constexpr std::size_t kMaxLevels = 7;  // 16^7 groups of 16 exceed 32-bit ids

    const std::uint32_t* counts() const { return storage_.data(); }
    std::uint32_t* counts() { return storage_.data(); }
    const std::uint32_t* ids() const { return storage_.data() + capacity_; }
    std::uint32_t* ids() { return storage_.data() + capacity_; }

    // First slot whose id is not below `id` (the slot count when none).
    std::size_t lower_bound(std::uint64_t id) const;
    // The group of 16 slots that holds copy number `index`, and the copy's
    // number within that group.
    std::pair<std::size_t, std::uint32_t> group_of_copy(std::uint64_t index) const;
    void count_changed(std::size_t slot, std::uint32_t before, std::uint32_t after);
    void append_slot(std::uint64_t id, std::uint32_t count);
    std::size_t insert_slot(std::size_t slot, std::uint64_t id, std::uint32_t count);
    // Adds `delta` (modulo 2^32, so a negated value subtracts) to the sums
    // above the group of `slot`; the caller changes the count itself.
    void sums_add(std::size_t slot, std::uint32_t delta);
    // Lays out fresh storage for `n` slots with these counts and ids (with
    // room to grow) and builds the sums.
    void relayout(const std::uint32_t* counts, const std::uint32_t* ids, std::size_t n);

    // One allocation: the counts (capacity_ slots, zero past the last slot),
    // the ids (capacity_ slots, ascending), then the levels of sums above the
    // count groups: level 0 has a node per 16 groups, the last level is the
    // single root node; level k starts at level_start_[k]. No levels when all
    // slots fit in one group. The fields an event reads share the first
    // cache line.
    std::vector<std::uint32_t, CacheLineAllocator<std::uint32_t>> storage_;
    std::uint64_t copy_total_ = 0;
    std::uint32_t n_slots_ = 0;
    std::uint32_t capacity_ = 0;       // a multiple of 16
    std::uint32_t founders_ = 0;       // slots 0 .. founders_-1 hold ids 0 .. founders_-1
    std::uint32_t levels_ = 0;
    std::uint32_t level_start_[kMaxLevels] = {};
    std::uint32_t dead_ = 0;           // number of tombstones
    std::uint32_t dead_founders_ = 0;  // tombstones among the founders' slots
};

}  // namespace korvath
