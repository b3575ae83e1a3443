// A hint that a large, freshly reserved buffer will be filled front to back:
// on Linux, asks for transparent huge pages over the part of it that covers
// whole 2 MiB pages, so that filling it takes one page fault per 2 MiB rather
// than one per 4 KiB. Elsewhere, or when the kernel declines, nothing happens;
// the contents and the results never depend on it.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace korvath {

inline void advise_huge_pages(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (start + bytes) & ~(kHugePage - 1);
    if (last <= first) return;
    // A refusal (an old kernel, huge pages switched off) only loses the speed-up.
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Reserves `capacity` entries, advising huge pages over a new block before
// the existing entries are copied into it (the copy is what first touches it).
template <class Vec>
void reserve_with_huge_pages(Vec& values, std::size_t capacity) {
    if (capacity <= values.capacity()) return;
    Vec fresh;
    fresh.reserve(capacity);
    advise_huge_pages(fresh.data(), fresh.capacity() * sizeof(*fresh.data()));
    fresh.insert(fresh.end(), values.begin(), values.end());
    values.swap(fresh);
}

// Sets `values` to `count` copies of `value`. A block too small for them is
// replaced by a new one advised for huge pages before the fill touches it;
// a large enough one is kept as it is.
template <class Vec>
void assign_with_huge_pages(Vec& values, std::size_t count,
                            const typename Vec::value_type& value) {
    if (count > values.capacity()) {
        values.clear();  // nothing to copy into the new block
        reserve_with_huge_pages(values, count);
    }
    values.assign(count, value);
}

}  // namespace korvath
