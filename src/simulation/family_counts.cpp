#include "simulation/family_counts.h"

#include "support/faults.h"

#include <algorithm>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvath {

namespace {

// Tombstones are dropped once there are more of them than live families (and
// at least this many, so that small branches do not compact all the time).
constexpr std::size_t kTombstonesBeforeCompaction = 32;

// Founding copies a branch may start with, so that every sum fits 32 bits
// (see the header).
constexpr std::uint64_t kMaxFounders = std::uint64_t{1} << 31;

// How many of a node's 16 prefix sums are not above `value`.
inline std::uint32_t count_not_above(const std::uint32_t* node, std::uint32_t value) {
#if defined(__SSE2__)
    // Unsigned comparison through the signed one: flip the top bits.
    const __m128i bias = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i limit = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(value)), bias);
    const auto* lanes = reinterpret_cast<const __m128i*>(node);
    __m128i above = _mm_setzero_si128();  // each lane counts -1 per prefix above value
    for (int q = 0; q < 4; ++q) {
        const __m128i prefix = _mm_xor_si128(_mm_loadu_si128(lanes + q), bias);
        above = _mm_add_epi32(above, _mm_cmpgt_epi32(prefix, limit));
    }
    above = _mm_add_epi32(above, _mm_shuffle_epi32(above, _MM_SHUFFLE(1, 0, 3, 2)));
    above = _mm_add_epi32(above, _mm_shuffle_epi32(above, _MM_SHUFFLE(2, 3, 0, 1)));
    return 16u + static_cast<std::uint32_t>(_mm_cvtsi128_si32(above));
#else
    std::uint32_t n = 0;
    for (int j = 0; j < 16; ++j) n += node[j] <= value ? 1 : 0;
    return n;
#endif
}

// How many of the running sums c[0], c[0]+c[1], ... of a group's 16 counts
// are not above `value`: the position in the group of the copy numbered
// `value` (counted from the group's first copy).
inline std::uint32_t count_running_not_above(const std::uint32_t* counts, std::uint32_t value) {
#if defined(__SSE2__)
    const auto* lanes = reinterpret_cast<const __m128i*>(counts);
    const __m128i bias = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i limit = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(value)), bias);
    __m128i carry = _mm_setzero_si128();
    __m128i above = _mm_setzero_si128();
    for (int q = 0; q < 4; ++q) {
        __m128i run = _mm_loadu_si128(lanes + q);
        run = _mm_add_epi32(run, _mm_slli_si128(run, 4));
        run = _mm_add_epi32(run, _mm_slli_si128(run, 8));
        run = _mm_add_epi32(run, carry);
        carry = _mm_shuffle_epi32(run, _MM_SHUFFLE(3, 3, 3, 3));
        above = _mm_add_epi32(above, _mm_cmpgt_epi32(_mm_xor_si128(run, bias), limit));
    }
    above = _mm_add_epi32(above, _mm_shuffle_epi32(above, _MM_SHUFFLE(1, 0, 3, 2)));
    above = _mm_add_epi32(above, _mm_shuffle_epi32(above, _MM_SHUFFLE(2, 3, 0, 1)));
    return 16u + static_cast<std::uint32_t>(_mm_cvtsi128_si32(above));
#else
    std::uint32_t n = 0, run = 0;
    for (int j = 0; j < 16; ++j) {
        run += counts[j];
        n += run <= value ? 1 : 0;
    }
    return n;
#endif
}

// Adds `delta` to the prefix sums of the children after `child`.
inline void add_after(std::uint32_t* node, std::size_t child, std::uint32_t delta) {
#if defined(__SSE2__)
    const __m128i after = _mm_set1_epi32(static_cast<int>(child));
    const __m128i amount = _mm_set1_epi32(static_cast<int>(delta));
    auto* lanes = reinterpret_cast<__m128i*>(node);
    for (int q = 0; q < 4; ++q) {
        const __m128i index = _mm_setr_epi32(4 * q, 4 * q + 1, 4 * q + 2, 4 * q + 3);
        const __m128i mask = _mm_cmpgt_epi32(index, after);
        const __m128i sums = _mm_loadu_si128(lanes + q);
        _mm_storeu_si128(lanes + q, _mm_add_epi32(sums, _mm_and_si128(mask, amount)));
    }
#else
    for (std::size_t j = child + 1; j < 16; ++j) node[j] += delta;
#endif
}

}  // namespace

FamilyCounts FamilyCounts::founders(std::uint64_t n_families, CopyArena* arena) {
    FamilyCounts out;
    out.storage_ = decltype(out.storage_)(CacheLineAllocator<std::uint32_t>(arena));
    if (n_families == 0) return out;
    if (n_families > kMaxFounders) {
        fault("initial_size " + std::to_string(n_families) +
              " is more founding families than one run can hold (at most 2^31)");
    }
    const auto n = static_cast<std::size_t>(n_families);
    std::vector<std::uint32_t> counts(n, 1);
    std::vector<std::uint32_t> ids(n);
    for (std::size_t s = 0; s < n; ++s) ids[s] = static_cast<std::uint32_t>(s);
    out.relayout(counts.data(), ids.data(), n);
    out.copy_total_ = n_families;
    out.founders_ = static_cast<std::uint32_t>(n);
    return out;
}

std::size_t FamilyCounts::lower_bound(std::uint64_t id) const {
    if (id < founders_) return static_cast<std::size_t>(id);
    // Branch-free binary search over the slots after the founders: `base`
    // ends on the last slot whose id is below `id`, or on the first slot.
    const std::size_t n = n_slots_ - founders_;
    if (n == 0) return founders_;
    const std::uint32_t* first = ids() + founders_;
    const std::uint32_t* base = first;
    std::size_t len = n;
    while (len > 1) {
        const std::size_t half = len / 2;
        base += (base[half - 1] < id) ? half : 0;
        len -= half;
    }
    return founders_ + static_cast<std::size_t>(base - first) + (*base < id ? 1 : 0);
}

std::size_t FamilyCounts::find(std::uint64_t id) const {
    const std::size_t slot = lower_bound(id);
    return slot < n_slots_ && ids()[slot] == id ? slot : kAbsent;
}

std::uint32_t FamilyCounts::count_of(std::uint64_t id) const {
    const std::size_t slot = find(id);
    return slot == kAbsent ? 0 : counts()[slot];
}

std::pair<std::size_t, std::uint32_t> FamilyCounts::group_of_copy(std::uint64_t index) const {
    if (index >= copy_total_) {
        fault("internal error: entered unreachable code: family_at index out of range");
    }
    // From the root down: in each node, the children whose exclusive prefix
    // is not above the index are the ones before or at the copy; the last of
    // them holds it. Prefix 0 of the first child always counts, and children
    // past the end carry the node's total, which is above the index.
    auto rest = static_cast<std::uint32_t>(index);
    std::size_t group = 0;
    for (std::size_t level = levels_; level-- > 0;) {
        const std::uint32_t* node = storage_.data() + level_start_[level] + group * kFanout;
        const std::size_t child = count_not_above(node, rest) - 1;
        rest -= node[child];
        group = group * kFanout + child;
    }
    return {group, rest};
}

std::size_t FamilyCounts::slot_of_copy(std::uint64_t index) const {
    // In the group, the slots whose running sum is not above the copy's
    // number lie before it. A slot of count 0 never holds the copy, exactly
    // as a walk in id order skips it.
    const auto [group, rest] = group_of_copy(index);
    return group * kFanout + count_running_not_above(counts() + group * kFanout, rest);
}

std::uint64_t FamilyCounts::family_of_copy(std::uint64_t index) const {
    const auto [group, rest] = group_of_copy(index);
    // The id is read right after the counts of the group: fetch both lines
    // at once rather than one after the other.
    __builtin_prefetch(ids() + group * kFanout);
    return ids()[group * kFanout + count_running_not_above(counts() + group * kFanout, rest)];
}

void FamilyCounts::prefetch_copy(std::uint64_t index) const {
    if (index >= copy_total_) return;
    const std::size_t group = group_of_copy(index).first;
    __builtin_prefetch(counts() + group * kFanout);
    __builtin_prefetch(ids() + group * kFanout);
}

void FamilyCounts::sums_add(std::size_t slot, std::uint32_t delta) {
    std::size_t pos = slot / kFanout;  // the group
    for (std::size_t level = 0; level < levels_; ++level) {
        add_after(storage_.data() + level_start_[level] + (pos / kFanout) * kFanout,
                  pos % kFanout, delta);
        pos /= kFanout;
    }
}

void FamilyCounts::add_copy_at(std::size_t slot) {
    std::uint32_t& count = counts()[slot];
    if (count == std::numeric_limits<std::uint32_t>::max()) {
        fault("copy count of family " + std::to_string(ids()[slot]) + " overflows");
    }
    if (count == 0) count_changed(slot, 0, 1);
    ++count;
    ++copy_total_;
    sums_add(slot, 1);
}

std::size_t FamilyCounts::add_copy(std::uint64_t id) {
    if (id < founders_) {  // a founding family's slot is its id
        const auto slot = static_cast<std::size_t>(id);
        add_copy_at(slot);
        return slot;
    }
    if (n_slots_ == 0 || id > ids()[n_slots_ - 1]) {
        append_slot(id, 1);
        return n_slots_ - 1;
    }
    const std::size_t slot = lower_bound(id);
    if (ids()[slot] == id) {
        add_copy_at(slot);
        return slot;
    }
    return insert_slot(slot, id, 1);
}

void FamilyCounts::remove_copies_at(std::size_t slot, std::uint32_t k) {
    std::uint32_t& count = counts()[slot];
    if (k > count) fault("removing more copies of a family than the branch holds");
    if (k == 0) return;
    count -= k;
    copy_total_ -= k;
    sums_add(slot, ~k + 1);
    if (count == 0) count_changed(slot, k, 0);
}

void FamilyCounts::count_changed(std::size_t slot, std::uint32_t before, std::uint32_t after) {
    if (before == 0) {
        --dead_;
        if (slot < founders_) --dead_founders_;
        return;
    }
    if (after != 0) return;
    ++dead_;
    if (slot < founders_) {
        ++dead_founders_;
        return;
    }
    const std::size_t dead_after = dead_ - dead_founders_;
    const std::size_t live_after = n_slots_ - founders_ - dead_after;
    if (dead_after >= kTombstonesBeforeCompaction && dead_after > live_after) compact();
}

void FamilyCounts::append_slot(std::uint64_t id, std::uint32_t count) {
    if (id > std::numeric_limits<std::uint32_t>::max()) fault("family id beyond 32 bits");
    const std::size_t slot = n_slots_;
    copy_total_ += count;
    if (slot < capacity_) {
        counts()[slot] = count;  // an unused slot held 0
        ids()[slot] = static_cast<std::uint32_t>(id);
        ++n_slots_;
        sums_add(slot, count);
        return;
    }
    std::vector<std::uint32_t> grown_counts(counts(), counts() + slot);
    std::vector<std::uint32_t> grown_ids(ids(), ids() + slot);
    grown_counts.push_back(count);
    grown_ids.push_back(static_cast<std::uint32_t>(id));
    relayout(grown_counts.data(), grown_ids.data(), slot + 1);
}

std::size_t FamilyCounts::insert_slot(std::size_t slot, std::uint64_t id, std::uint32_t count) {
    std::vector<std::uint32_t> new_counts(counts(), counts() + n_slots_);
    std::vector<std::uint32_t> new_ids(ids(), ids() + n_slots_);
    new_counts.insert(new_counts.begin() + static_cast<std::ptrdiff_t>(slot), count);
    new_ids.insert(new_ids.begin() + static_cast<std::ptrdiff_t>(slot),
                   static_cast<std::uint32_t>(id));
    copy_total_ += count;
    relayout(new_counts.data(), new_ids.data(), n_slots_ + 1);
    return slot;
}

void FamilyCounts::compact() {
    if (dead_ == dead_founders_) return;
    std::vector<std::uint32_t> kept_counts(counts(), counts() + founders_);
    std::vector<std::uint32_t> kept_ids(ids(), ids() + founders_);
    for (std::size_t s = founders_; s < n_slots_; ++s) {
        if (counts()[s] == 0) continue;
        kept_counts.push_back(counts()[s]);
        kept_ids.push_back(ids()[s]);
    }
    dead_ = dead_founders_;
    relayout(kept_counts.data(), kept_ids.data(), kept_counts.size());
}

void FamilyCounts::relayout(const std::uint32_t* counts, const std::uint32_t* ids, std::size_t n) {
    // Room for an eighth more slots, so that appends rebuild rarely.
    const std::size_t capacity = ((n + n / 8) / kFanout + 1) * kFanout;
    if (capacity > std::numeric_limits<std::uint32_t>::max() / 2) {
        fault("too many families on one branch");
    }
    const std::size_t groups = capacity / kFanout;
    std::size_t nodes[kMaxLevels] = {};
    std::uint32_t starts[kMaxLevels] = {};
    std::uint32_t levels = 0;
    std::size_t size = 2 * capacity;
    for (std::size_t covered = groups; covered > 1;) {
        if (levels == kMaxLevels) fault("too many families on one branch");
        const std::size_t count = (covered + kFanout - 1) / kFanout;
        nodes[levels] = count;
        starts[levels] = static_cast<std::uint32_t>(size);
        size += count * kFanout;
        ++levels;
        covered = count;
    }
    std::vector<std::uint32_t, CacheLineAllocator<std::uint32_t>> fresh(size, 0,
                                                                        storage_.get_allocator());
    std::copy(counts, counts + n, fresh.begin());
    std::copy(ids, ids + n, fresh.begin() + static_cast<std::ptrdiff_t>(capacity));

    // Each level's children totals: the group totals for level 0, then the
    // node totals of the level below.
    std::vector<std::uint32_t> totals(groups, 0);
    for (std::size_t s = 0; s < n; ++s) totals[s / kFanout] += counts[s];
    for (std::uint32_t level = 0; level < levels; ++level) {
        std::vector<std::uint32_t> node_totals(nodes[level], 0);
        std::uint32_t* level_sums = fresh.data() + starts[level];
        for (std::size_t node = 0; node < nodes[level]; ++node) {
            std::uint32_t prefix = 0;
            for (std::size_t j = 0; j < kFanout; ++j) {
                level_sums[node * kFanout + j] = prefix;
                const std::size_t child = node * kFanout + j;
                if (child < totals.size()) prefix += totals[child];
            }
            node_totals[node] = prefix;
        }
        totals.swap(node_totals);
    }
    storage_.swap(fresh);
    std::copy(starts, starts + kMaxLevels, level_start_);
    n_slots_ = static_cast<std::uint32_t>(n);
    capacity_ = static_cast<std::uint32_t>(capacity);
    levels_ = levels;
}

}  // namespace korvath
