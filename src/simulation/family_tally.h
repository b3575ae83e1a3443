// Copies per family on one branch: an open-addressing hash map from family
// id to a positive count. An entry exists only while its count is above 0.
// It is only looked up, never iterated, so its layout cannot reach a result.
// Flat storage keeps a branch's tally one allocation that copies cheaply at a
// speciation.
#pragma once

#include <cstdint>
#include <vector>

namespace korvath {

class FamilyTally {
public:
    std::uint32_t get(std::uint64_t family) const {
        if (slots_.empty()) return 0;
        for (std::size_t i = home(family);; i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (slot.count == 0) return 0;
            if (slot.family == family) return slot.count;
        }
    }

    void increment(std::uint64_t family) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        for (std::size_t i = home(family);; i = (i + 1) & mask()) {
            Slot& slot = slots_[i];
            if (slot.count == 0) {
                slot = Slot{family, 1};
                ++used_;
                return;
            }
            if (slot.family == family) {
                ++slot.count;
                return;
            }
        }
    }

    // The family must be present.
    void decrement(std::uint64_t family) {
        std::size_t i = home(family);
        while (slots_[i].family != family || slots_[i].count == 0) i = (i + 1) & mask();
        if (--slots_[i].count != 0) return;
        // Backward-shift deletion keeps every probe chain unbroken.
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

    std::size_t size() const { return used_; }

private:
    struct Slot {
        std::uint64_t family = 0;
        std::uint32_t count = 0;
    };

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
    std::size_t used_ = 0;
    unsigned shift_ = 64;
};

}  // namespace korvath
