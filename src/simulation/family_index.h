// Where each family's copies sit in one branch's copy list.
//
// The list itself (a vector of GeneCopy) belongs to the caller; this index
// mirrors it: the caller reports every append and every swap removal, and the
// index keeps, per family, the number of copies and the set of their
// positions, so that `collect` lists a family's positions in time
// proportional to its copy count rather than to the length of the list.
//
// Layout, chosen so that an update touches as few unrelated cache lines as
// possible (one table probe per family involved):
//  - an open-addressing table keyed by family (backward-shift deletion), one
//    32-byte slot per family holding its count and, while the family has at
//    most kInline copies, its positions themselves;
//  - a family with more copies keeps its positions in a block of a flat pool
//    owned by the index (power-of-two sizes, one free list per size); the
//    slot then holds the block's offset and capacity;
//  - a block too long to scan (more than kScanLimit entries) is searched
//    through `rank_`, which gives for each position of such a family its
//    index in the family's block. Entries of other positions are stale.
// All storage is a few flat vectors, so copying an index (done at every
// speciation) allocates nothing per family.
//
// A family's positions are kept in no particular order and the table is only
// looked up, never iterated; callers sort what `collect` returns, so neither
// layout can reach a result. Each position of the list belongs to exactly one
// family of the index: every update first checks that the position it moves
// or removes is where the caller says, and faults otherwise.
#pragma once

#include "support/faults.h"

#include <array>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

namespace korvath {

// Storage aligned to a 64-byte cache line, so that each 32-byte slot of the
// table sits in a single line. It pads the plain allocation rather than
// asking for an aligned one, which would leave small fragments in the heap.
template <class T>
struct LineAlignedAllocator {
    using value_type = T;
    static constexpr std::size_t kLine = 64;

    LineAlignedAllocator() = default;
    template <class U>
    LineAlignedAllocator(const LineAlignedAllocator<U>&) {}

    T* allocate(std::size_t n) {
        if (n > (std::numeric_limits<std::size_t>::max() - kLine) / sizeof(T)) throw std::bad_alloc();
        void* raw = ::operator new(n * sizeof(T) + kLine);
        const auto at = (reinterpret_cast<std::uintptr_t>(raw) + kLine) & ~std::uintptr_t{kLine - 1};
        reinterpret_cast<void**>(at)[-1] = raw;  // within the padding, which is at least 8 bytes
        return reinterpret_cast<T*>(at);
    }
    void deallocate(T* p, std::size_t) { ::operator delete(reinterpret_cast<void**>(p)[-1]); }

    friend bool operator==(const LineAlignedAllocator&, const LineAlignedAllocator&) { return true; }
};

class FamilyIndex {
public:
    FamilyIndex() = default;
    // A copy gets the smallest table that holds the families at the usual
    // load, so an index whose families dwindled does not pass its spare
    // room on to every descendant.
    FamilyIndex(const FamilyIndex& other);
    FamilyIndex& operator=(const FamilyIndex& other);
    FamilyIndex(FamilyIndex&&) noexcept = default;
    FamilyIndex& operator=(FamilyIndex&&) noexcept = default;

    std::uint32_t count(std::uint64_t family) const {
        const std::size_t s = slot_of(family);
        return s == kNoSlot ? 0 : slots_[s].count;
    }

    // A copy of `family` was appended at position p (the new last entry).
    void appended(std::uint64_t family, std::size_t p) {
        if (p != rank_.size() || p >= kNoPosition) fault("family index out of step with its list");
        rank_.push_back(0);
        add_position(slots_[find_or_insert(family)], static_cast<std::uint32_t>(p));
    }

    // The entry at position i (of `family`) is about to be removed by moving
    // the last entry (position `last`, of `last_family`) into its slot.
    void swap_removed(std::uint64_t family, std::size_t i, std::uint64_t last_family,
                      std::size_t last) {
        if (last + 1 != rank_.size() || i > last) fault("family index out of step with its list");
        const auto from = static_cast<std::uint32_t>(last);
        const auto to = static_cast<std::uint32_t>(i);
        if (family == last_family) {
            // The family keeps position i (now holding its former last
            // entry) and loses position `last`: only `last` is looked up.
            remove_position(existing_slot(family), from);
        } else {
            // Probe both families before changing either, so that their slots
            // (and the blocks of families kept in the pool) are fetched side by
            // side rather than one after the other, and every check comes
            // before the first change.
            const std::size_t removed = existing_slot(family);
            std::size_t moved = existing_slot(last_family);
            prefetch_block(slots_[removed]);
            const std::uint32_t k = position_index(slots_[moved], from);
            if (remove_position(removed, to)) moved = existing_slot(last_family);
            set_position(slots_[moved], k, to);
        }
        rank_.pop_back();
    }

    // Appends the positions of `family`'s copies to `out`, in no particular order.
    void collect(std::uint64_t family, std::vector<std::size_t>& out) const {
        const std::size_t s = slot_of(family);
        if (s == kNoSlot) return;
        const Slot& slot = slots_[s];
        const std::uint32_t* first = slot.count <= kInline ? slot.pos : pool_.data() + slot.pos[0];
        out.insert(out.end(), first, first + slot.count);
    }

    std::size_t n_families() const { return used_; }

private:
    static constexpr std::uint32_t kNoPosition = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::size_t kNoSlot = std::numeric_limits<std::size_t>::max();
    static constexpr std::uint32_t kInline = 5;        // positions held in the slot itself
    static constexpr std::uint32_t kMinBlock = 8;      // smallest pool block
    static constexpr std::uint32_t kScanLimit = 16;    // larger blocks are searched via rank_
    static constexpr std::uint32_t kMaxBlock = 1u << 31;
    static constexpr unsigned kBlockSizes = 29;        // kMinBlock << 0 .. kMaxBlock

    struct alignas(32) Slot {
        std::uint64_t family = 0;
        std::uint32_t count = 0;  // 0 marks an empty slot
        // count <= kInline: the positions; otherwise pos[0] is the offset of
        // the family's block in pool_ and pos[1] its capacity.
        std::uint32_t pos[kInline] = {};
    };
    static_assert(sizeof(Slot) == 32);
    using Table = std::vector<Slot, LineAlignedAllocator<Slot>>;

    // --- one family's set of positions ---

    void add_position(Slot& slot, std::uint32_t p) {
        const std::uint32_t c = slot.count;
        if (c < kInline) {
            slot.pos[c] = p;
        } else if (c == kInline) {
            spill(slot, p);
        } else {
            if (c == slot.pos[1]) grow_block(slot);
            pool_[slot.pos[0] + c] = p;
            if (slot.pos[1] > kScanLimit) rank_[p] = c;
        }
        slot.count = c + 1;
    }

    // Returns whether the family's last copy went, which erases its slot and
    // may shift other slots of the table.
    bool remove_position(std::size_t s, std::uint32_t p) {
        Slot& slot = slots_[s];
        const std::uint32_t c = slot.count;
        if (c <= kInline) {
            slot.pos[inline_index(slot, p)] = slot.pos[c - 1];
            if (c == 1) {
                erase(s);
                return true;
            }
            slot.count = c - 1;
            return false;
        }
        std::uint32_t* block = pool_.data() + slot.pos[0];
        const std::uint32_t capacity = slot.pos[1];
        const std::uint32_t k = block_index(block, capacity, c, p);
        const std::uint32_t moved = block[c - 1];
        block[k] = moved;
        if (capacity > kScanLimit) set_rank(moved, k);
        slot.count = c - 1;
        if (c - 1 == kInline) {
            unspill(slot);
        } else if (capacity > kMinBlock && c - 1 <= capacity / 4) {
            shrink_block(slot);
        }
        return false;
    }

    void prefetch_block(const Slot& slot) const {
        if (slot.count > kInline) {
            const std::uint32_t* block = pool_.data() + slot.pos[0];
            __builtin_prefetch(block);
            __builtin_prefetch(block + slot.count - 1);
        }
    }

    // Where p sits among the family's positions.
    std::uint32_t position_index(const Slot& slot, std::uint32_t p) const {
        if (slot.count <= kInline) return inline_index(slot, p);
        return block_index(pool_.data() + slot.pos[0], slot.pos[1], slot.count, p);
    }

    // Puts p at index k of the family's positions.
    void set_position(Slot& slot, std::uint32_t k, std::uint32_t p) {
        if (slot.count <= kInline) {
            slot.pos[k] = p;
            return;
        }
        pool_[slot.pos[0] + k] = p;
        if (slot.pos[1] > kScanLimit) set_rank(p, k);
    }

    static std::uint32_t inline_index(const Slot& slot, std::uint32_t p) {
        for (std::uint32_t k = 0; k < slot.count; ++k) {
            if (slot.pos[k] == p) return k;
        }
        fault("family index lost a copy");
    }

    // Where p sits among the first c entries of a block of the given capacity.
    std::uint32_t block_index(const std::uint32_t* block, std::uint32_t capacity, std::uint32_t c,
                              std::uint32_t p) const {
        if (capacity <= kScanLimit) {
            for (std::uint32_t k = 0; k < c; ++k) {
                if (block[k] == p) return k;
            }
        } else {
            const std::uint32_t k = rank_[p];  // p < rank_.size(): checked by the callers
            if (k < c && block[k] == p) return k;
        }
        fault("family index lost a copy");
    }

    void set_rank(std::uint32_t p, std::uint32_t k) {
        if (p >= rank_.size()) fault("family index holds a position past its list");
        rank_[p] = k;
    }

    // Out of line (family_index.cpp): moves between the slot and the pool.
    void spill(Slot& slot, std::uint32_t p);
    void unspill(Slot& slot);
    void grow_block(Slot& slot);
    void shrink_block(Slot& slot);
    void move_block(Slot& slot, std::uint32_t capacity);
    std::uint32_t allocate_block(std::uint32_t capacity);
    void release_block(std::uint32_t offset, std::uint32_t capacity);

    // --- the table ---

    std::size_t slot_of(std::uint64_t family) const {
        if (slots_.empty()) return kNoSlot;
        for (std::size_t i = home(family);; i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (slot.count == 0) return kNoSlot;
            if (slot.family == family) return i;
        }
    }

    std::size_t existing_slot(std::uint64_t family) const {
        const std::size_t s = slot_of(family);
        if (s == kNoSlot) fault("family index lost a family");
        return s;
    }

    std::size_t find_or_insert(std::uint64_t family) {
        if ((used_ + 1) * kLoadDenominator > slots_.size() * kLoadNumerator) grow_table();
        for (std::size_t i = home(family);; i = (i + 1) & mask()) {
            Slot& slot = slots_[i];
            if (slot.count == 0) {
                slot.family = family;
                ++used_;
                return i;
            }
            if (slot.family == family) return i;
        }
    }

    // Backward-shift deletion keeps every probe chain unbroken.
    void erase(std::size_t i) {
        --used_;
        std::size_t hole = i;
        for (std::size_t j = (i + 1) & mask(); slots_[j].count != 0; j = (j + 1) & mask()) {
            const std::size_t want = home(slots_[j].family);
            // Move j into the hole unless its home lies cyclically in (hole, j].
            if (((j - want) & mask()) >= ((j - hole) & mask())) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = Slot{};
    }

    std::size_t mask() const { return slots_.size() - 1; }
    // Only called on a non-empty table (shift_ < 64).
    std::size_t home(std::uint64_t family) const {
        return static_cast<std::size_t>((family * 0x9E3779B97F4A7C15ULL) >> shift_);
    }

    // The table holds at most kLoadNumerator / kLoadDenominator of its slots.
    static constexpr std::size_t kLoadNumerator = 3;
    static constexpr std::size_t kLoadDenominator = 4;
    void grow_table();
    void rehash_into(Table slots, const Table& from);
    static std::size_t table_size_for(std::size_t families);

    Table slots_;
    std::vector<std::uint32_t> pool_;
    std::array<std::uint32_t, kBlockSizes> free_blocks_ = free_lists_empty();
    std::vector<std::uint32_t> rank_;  // one entry per position of the list
    std::size_t used_ = 0;
    unsigned shift_ = 64;

    static constexpr std::array<std::uint32_t, kBlockSizes> free_lists_empty() {
        std::array<std::uint32_t, kBlockSizes> heads{};
        for (auto& head : heads) head = kNoPosition;
        return heads;
    }
};

}  // namespace korvath
