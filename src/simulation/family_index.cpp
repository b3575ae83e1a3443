// The rarer updates of FamilyIndex: a family's positions moving between its
// slot and the pool, blocks changing size, and the table growing.
#include "simulation/family_index.h"

#include <algorithm>

namespace korvath {

// The family reaches kInline + 1 copies: its positions move to a block.
void FamilyIndex::spill(Slot& slot, std::uint32_t p) {
    const std::uint32_t offset = allocate_block(kMinBlock);
    std::uint32_t* block = pool_.data() + offset;
    std::copy(slot.pos, slot.pos + kInline, block);
    block[kInline] = p;
    slot.pos[0] = offset;
    slot.pos[1] = kMinBlock;
}

// The family is back to kInline copies: they return to the slot.
void FamilyIndex::unspill(Slot& slot) {
    const std::uint32_t offset = slot.pos[0];
    const std::uint32_t capacity = slot.pos[1];
    const std::uint32_t* block = pool_.data() + offset;
    std::copy(block, block + kInline, slot.pos);
    release_block(offset, capacity);
}

void FamilyIndex::grow_block(Slot& slot) {
    const std::uint32_t capacity = slot.pos[1];
    if (capacity >= kMaxBlock) fault("family index block too large");
    move_block(slot, capacity * 2);
    if (capacity <= kScanLimit && capacity * 2 > kScanLimit) {
        // From now on the block is searched through rank_.
        const std::uint32_t* block = pool_.data() + slot.pos[0];
        for (std::uint32_t k = 0; k < slot.count; ++k) set_rank(block[k], k);
    }
}

// Positions keep their index in the block, so rank_ stays valid (and is
// simply no longer read once the block is short enough to scan).
void FamilyIndex::shrink_block(Slot& slot) { move_block(slot, slot.pos[1] / 2); }

void FamilyIndex::move_block(Slot& slot, std::uint32_t capacity) {
    const std::uint32_t old_offset = slot.pos[0];
    const std::uint32_t old_capacity = slot.pos[1];
    const std::uint32_t offset = allocate_block(capacity);  // may move pool_
    std::copy_n(pool_.data() + old_offset, slot.count, pool_.data() + offset);
    release_block(old_offset, old_capacity);
    slot.pos[0] = offset;
    slot.pos[1] = capacity;
}

namespace {
unsigned size_class(std::uint32_t capacity, std::uint32_t smallest) {
    return static_cast<unsigned>(__builtin_ctz(capacity / smallest));
}
}  // namespace

std::uint32_t FamilyIndex::allocate_block(std::uint32_t capacity) {
    std::uint32_t& head = free_blocks_[size_class(capacity, kMinBlock)];
    if (head != kNoPosition) {
        const std::uint32_t offset = head;
        head = pool_[offset];  // a free block's first entry links to the next one
        return offset;
    }
    const std::size_t offset = pool_.size();
    if (offset + capacity >= kNoPosition) fault("family index pool too large");
    pool_.resize(offset + capacity);
    return static_cast<std::uint32_t>(offset);
}

void FamilyIndex::release_block(std::uint32_t offset, std::uint32_t capacity) {
    std::uint32_t& head = free_blocks_[size_class(capacity, kMinBlock)];
    pool_[offset] = head;
    head = offset;
}

FamilyIndex::FamilyIndex(const FamilyIndex& other)
    : pool_(other.pool_),
      free_blocks_(other.free_blocks_),
      rank_(other.rank_),
      used_(other.used_) {
    const std::size_t capacity = table_size_for(used_);
    if (capacity >= other.slots_.size()) {
        slots_ = other.slots_;
        shift_ = other.shift_;
    } else if (capacity > 0) {
        rehash_into(Table(capacity), other.slots_);
    }  // else no family: the table starts empty, as a new index's does
}

FamilyIndex& FamilyIndex::operator=(const FamilyIndex& other) {
    if (this != &other) *this = FamilyIndex(other);
    return *this;
}

// The smallest table (a power of two, at least 8 slots) holding `families`
// within the load limit; 0 for none.
std::size_t FamilyIndex::table_size_for(std::size_t families) {
    if (families == 0) return 0;
    std::size_t capacity = 8;
    while (families * kLoadDenominator > capacity * kLoadNumerator) capacity *= 2;
    return capacity;
}

void FamilyIndex::grow_table() {
    Table old = std::move(slots_);
    rehash_into(Table(old.empty() ? 8 : old.size() * 2), old);
}

// Makes `slots` (empty slots, a power of two in number) the table and
// inserts every family of `from` into it.
void FamilyIndex::rehash_into(Table slots, const Table& from) {
    slots_ = std::move(slots);
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(slots_.size()));
    for (const Slot& slot : from) {
        if (slot.count == 0) continue;
        std::size_t i = home(slot.family);
        while (slots_[i].count != 0) i = (i + 1) & mask();
        slots_[i] = slot;
    }
}

}  // namespace korvath
