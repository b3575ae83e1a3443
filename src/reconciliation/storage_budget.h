// Checked sizes for storage whose extent derives from the caller's numbers
// (step counts, branch counts, tree sizes). Every product and sum is checked,
// and a total beyond the machine's physical memory is refused up front, so an
// absurd request ends as an internal fault instead of a wrapped size, an
// abort or an out-of-memory kill.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvath::reconciliation {

// a + b, faulting on overflow. `what` names the quantity in the message.
std::uint64_t checked_add(std::uint64_t a, std::uint64_t b, const char* what);

// a * b, faulting on overflow.
std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b, const char* what);

// Bytes of physical memory, the ceiling for any single working set.
std::uint64_t physical_memory_bytes();

// Faults when `count` doubles cannot be held: the byte count overflows or
// exceeds physical memory. Returns count as a size_t.
std::size_t require_doubles(std::uint64_t count, const char* what);

}  // namespace korvath::reconciliation
