#include "reconciliation/storage_budget.h"

#include "support/faults.h"

#include <limits>
#include <string>

#if __has_include(<unistd.h>)
#include <unistd.h>
#define KORVATH_HAS_SYSCONF 1
#endif

namespace korvath::reconciliation {

std::uint64_t checked_add(std::uint64_t a, std::uint64_t b, const char* what) {
    if (a > std::numeric_limits<std::uint64_t>::max() - b) {
        fault(std::string("size overflow: ") + what);
    }
    return a + b;
}

std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b, const char* what) {
    if (b != 0 && a > std::numeric_limits<std::uint64_t>::max() / b) {
        fault(std::string("size overflow: ") + what);
    }
    return a * b;
}

std::uint64_t physical_memory_bytes() {
    // Without a way to ask, assume a generous 1 TiB.
    std::uint64_t bytes = std::uint64_t{1} << 40;
#ifdef KORVATH_HAS_SYSCONF
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) {
        const auto p = static_cast<std::uint64_t>(pages);
        const auto s = static_cast<std::uint64_t>(page_size);
        if (p <= std::numeric_limits<std::uint64_t>::max() / s) bytes = p * s;
    }
#endif
    return bytes;
}

std::size_t require_doubles(std::uint64_t count, const char* what) {
    const std::uint64_t bytes = checked_mul(count, sizeof(double), what);
    static const std::uint64_t ceiling = physical_memory_bytes();
    if (bytes > ceiling || count > std::numeric_limits<std::size_t>::max()) {
        fault(std::string("storage too large: ") + what + " needs " + std::to_string(bytes) +
              " bytes, more than the machine's " + std::to_string(ceiling));
    }
    return static_cast<std::size_t>(count);
}

}  // namespace korvath::reconciliation
