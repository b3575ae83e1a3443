#include "simulation/family_counts.h"

#include "support/faults.h"

#include <algorithm>
#include <bit>
#include <string>

namespace korvath {

namespace {

constexpr std::size_t lowbit(std::size_t i) { return i & (~i + 1); }

// Tombstones are dropped once there are more of them than live families (and
// at least this many, so that small branches do not compact all the time).
constexpr std::size_t kTombstonesBeforeCompaction = 32;

}  // namespace

FamilyCounts FamilyCounts::founders(std::uint64_t n_families) {
    FamilyCounts out;
    if (n_families == 0) return out;
    if (n_families > out.ids_.max_size() / 2) fault("too many founding families");
    const auto n = static_cast<std::size_t>(n_families);
    out.ids_.resize(n);
    out.counts_.assign(n, 1);
    out.tree_.resize(n + 1);
    for (std::size_t s = 0; s < n; ++s) out.ids_[s] = s;
    // With every count 1, Fenwick slot i sums lowbit(i) counts.
    out.tree_[0] = 0;
    for (std::size_t i = 1; i <= n; ++i) out.tree_[i] = lowbit(i);
    out.copy_total_ = n_families;
    out.top_ = std::bit_floor(n);
    return out;
}

std::size_t FamilyCounts::find(std::uint64_t id) const {
    if (ids_.empty()) return kAbsent;
    if (id >= ids_.back()) return id == ids_.back() ? ids_.size() - 1 : kAbsent;
    const auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
    if (*it != id) return kAbsent;
    return static_cast<std::size_t>(it - ids_.begin());
}

std::uint32_t FamilyCounts::count_of(std::uint64_t id) const {
    const std::size_t slot = find(id);
    return slot == kAbsent ? 0 : counts_[slot];
}

std::size_t FamilyCounts::slot_of_copy(std::uint64_t index) const {
    if (index >= copy_total_) {
        fault("internal error: entered unreachable code: family_at index out of range");
    }
    // Fenwick descent: the largest prefix of slots whose count sum is at most
    // `index`; the slot after it holds copy number `index`. Slots of count 0
    // never end the descent, exactly as a walk that skips them.
    const std::size_t n = ids_.size();
    std::size_t pos = 0;
    for (std::size_t step = top_; step != 0; step >>= 1) {
        const std::size_t next = pos + step;
        if (next <= n && tree_[next] <= index) {
            index -= tree_[next];
            pos = next;
        }
    }
    return pos;
}

void FamilyCounts::fenwick_add(std::size_t slot, std::int64_t delta) {
    const auto d = static_cast<std::uint64_t>(delta);  // modular: adds or subtracts exactly
    const std::size_t n = ids_.size();
    for (std::size_t i = slot + 1; i <= n; i += lowbit(i)) tree_[i] += d;
}

void FamilyCounts::add_copy_at(std::size_t slot) {
    std::uint32_t& count = counts_[slot];
    if (count == std::numeric_limits<std::uint32_t>::max()) {
        fault("copy count of family " + std::to_string(ids_[slot]) + " overflows");
    }
    if (count == 0) --dead_;
    ++count;
    ++copy_total_;
    fenwick_add(slot, 1);
}

std::size_t FamilyCounts::add_copy(std::uint64_t id) {
    if (ids_.empty() || id > ids_.back()) {
        append_slot(id, 1);
        return ids_.size() - 1;
    }
    const auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
    const auto slot = static_cast<std::size_t>(it - ids_.begin());
    if (*it == id) {
        add_copy_at(slot);
        return slot;
    }
    return insert_slot(slot, id, 1);
}

void FamilyCounts::remove_copies_at(std::size_t slot, std::uint32_t k) {
    std::uint32_t& count = counts_[slot];
    if (k > count) fault("removing more copies of a family than the branch holds");
    if (k == 0) return;
    count -= k;
    if (count == 0) ++dead_;
    copy_total_ -= k;
    fenwick_add(slot, -static_cast<std::int64_t>(k));
    if (dead_ >= kTombstonesBeforeCompaction && dead_ > family_count()) compact();
}

void FamilyCounts::append_slot(std::uint64_t id, std::uint32_t count) {
    ids_.push_back(id);
    counts_.push_back(count);
    if (tree_.empty()) tree_.push_back(0);
    // Fenwick slot i covers the counts (i - lowbit(i), i]; all but the new one
    // are already summed in the slots reached by stepping down from i - 1.
    const std::size_t i = ids_.size();
    const std::size_t stop = i - lowbit(i);
    std::uint64_t sum = count;
    for (std::size_t j = i - 1; j > stop; j -= lowbit(j)) sum += tree_[j];
    tree_.push_back(sum);
    copy_total_ += count;
    top_ = std::bit_floor(i);
}

std::size_t FamilyCounts::insert_slot(std::size_t slot, std::uint64_t id, std::uint32_t count) {
    ids_.insert(ids_.begin() + static_cast<std::ptrdiff_t>(slot), id);
    counts_.insert(counts_.begin() + static_cast<std::ptrdiff_t>(slot), count);
    copy_total_ += count;
    rebuild_fenwick();
    return slot;
}

void FamilyCounts::rebuild_fenwick() {
    const std::size_t n = ids_.size();
    tree_.assign(n + 1, 0);
    for (std::size_t i = 1; i <= n; ++i) {
        tree_[i] += counts_[i - 1];
        const std::size_t up = i + lowbit(i);
        if (up <= n) tree_[up] += tree_[i];
    }
    top_ = n == 0 ? 0 : std::bit_floor(n);
}

void FamilyCounts::compact() {
    if (dead_ == 0) return;
    std::size_t kept = 0;
    for (std::size_t s = 0; s < ids_.size(); ++s) {
        if (counts_[s] == 0) continue;
        ids_[kept] = ids_[s];
        counts_[kept] = counts_[s];
        ++kept;
    }
    ids_.resize(kept);
    counts_.resize(kept);
    dead_ = 0;
    rebuild_fenwick();
}

}  // namespace korvath
