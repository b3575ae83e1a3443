// Where each family's copies sit in one branch's copy list.
//
// The list itself (a vector of GeneCopy) belongs to the caller; this index
// mirrors it: the caller reports every append and every swap removal, and the
// index keeps, per family, the number of copies and a doubly linked chain
// through their positions. Both updates are O(1) apart from one hash lookup,
// and `collect` lists a family's positions in time proportional to its copy
// count rather than to the length of the list.
//
// The family map is open addressing with backward-shift deletion; an entry
// exists only while its family has copies. It is only looked up, never
// iterated, and the chain order is never exposed as a result (callers sort
// the positions), so neither layout can reach a result.
#pragma once

#include "support/faults.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace korvath {

class FamilyIndex {
public:
    std::uint32_t count(std::uint64_t family) const {
        const Slot* slot = find(family);
        return slot == nullptr ? 0 : slot->count;
    }

    // A copy of `family` was appended at position p (the new last entry).
    void appended(std::uint64_t family, std::size_t p) {
        if (p != links_.size() || p >= kEnd) fault("family index out of step with its list");
        Slot& slot = find_or_insert(family);
        links_.push_back(Link{kEnd, slot.head});
        if (slot.head != kEnd) links_[slot.head].prev = static_cast<std::uint32_t>(p);
        slot.head = static_cast<std::uint32_t>(p);
        ++slot.count;
    }

    // The entry at position i (of `family`) is about to be removed by moving
    // the last entry (position `last`, of `last_family`) into its slot.
    void swap_removed(std::uint64_t family, std::size_t i, std::uint64_t last_family,
                      std::size_t last) {
        if (last + 1 != links_.size() || i > last) fault("family index out of step with its list");
        unlink(family, static_cast<std::uint32_t>(i));
        if (i != last) {
            const Link moved = links_[last];
            links_[i] = moved;
            const auto to = static_cast<std::uint32_t>(i);
            if (moved.prev != kEnd) {
                links_[moved.prev].next = to;
            } else {
                find(last_family)->head = to;
            }
            if (moved.next != kEnd) links_[moved.next].prev = to;
        }
        links_.pop_back();
    }

    // Appends the positions of `family`'s copies to `out`, in no particular order.
    void collect(std::uint64_t family, std::vector<std::size_t>& out) const {
        const Slot* slot = find(family);
        if (slot == nullptr) return;
        for (std::uint32_t p = slot->head; p != kEnd; p = links_[p].next) out.push_back(p);
    }

    std::size_t n_families() const { return used_; }

private:
    static constexpr std::uint32_t kEnd = std::numeric_limits<std::uint32_t>::max();

    struct Slot {
        std::uint64_t family = 0;
        std::uint32_t count = 0;  // 0 marks an empty slot
        std::uint32_t head = kEnd;
    };
    struct Link {
        std::uint32_t prev;
        std::uint32_t next;
    };

    void unlink(std::uint64_t family, std::uint32_t p) {
        const std::size_t s = slot_of(family);
        if (s == kNoSlot) fault("family index lost a family");
        const Link link = links_[p];
        if (link.prev != kEnd) {
            links_[link.prev].next = link.next;
        } else {
            slots_[s].head = link.next;
        }
        if (link.next != kEnd) links_[link.next].prev = link.prev;
        if (--slots_[s].count == 0) erase(s);
    }

    static constexpr std::size_t kNoSlot = std::numeric_limits<std::size_t>::max();

    std::size_t slot_of(std::uint64_t family) const {
        if (slots_.empty()) return kNoSlot;
        for (std::size_t i = home(family);; i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (slot.count == 0) return kNoSlot;
            if (slot.family == family) return i;
        }
    }

    const Slot* find(std::uint64_t family) const {
        const std::size_t s = slot_of(family);
        return s == kNoSlot ? nullptr : &slots_[s];
    }
    Slot* find(std::uint64_t family) {
        const std::size_t s = slot_of(family);
        if (s == kNoSlot) fault("family index lost a family");
        return &slots_[s];
    }

    Slot& find_or_insert(std::uint64_t family) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        for (std::size_t i = home(family);; i = (i + 1) & mask()) {
            Slot& slot = slots_[i];
            if (slot.count == 0) {
                slot = Slot{family, 0, kEnd};
                ++used_;
                return slot;
            }
            if (slot.family == family) return slot;
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
    std::size_t home(std::uint64_t family) const {
        return static_cast<std::size_t>((family * 0x9E3779B97F4A7C15ULL) >> shift_);
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        const std::size_t capacity = old.empty() ? 8 : old.size() * 2;
        slots_.assign(capacity, Slot{});
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
        used_ = 0;
        for (const Slot& slot : old) {
            if (slot.count == 0) continue;
            std::size_t i = home(slot.family);
            while (slots_[i].count != 0) i = (i + 1) & mask();
            slots_[i] = slot;
            ++used_;
        }
    }

    std::vector<Slot> slots_;
    std::vector<Link> links_;  // parallel to the copy list
    std::size_t used_ = 0;
    unsigned shift_ = 64;
};

}  // namespace korvath
