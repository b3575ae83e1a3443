#include "support/memory_budget.h"

#include "support/faults.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace korvath {

namespace {

constexpr std::size_t kShare = 8;

// Physical memory in bytes, or the largest size when it cannot be read.
std::size_t physical_memory() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGE_SIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) {
        const auto n = static_cast<std::size_t>(pages);
        const auto size = static_cast<std::size_t>(page_size);
        if (n <= std::numeric_limits<std::size_t>::max() / size) return n * size;
    }
#endif
    return std::numeric_limits<std::size_t>::max();
}

// The address-space limit in bytes, or the largest size when there is none.
std::size_t address_space_limit() {
#if defined(RLIMIT_AS)
    struct rlimit limit {};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < std::numeric_limits<std::size_t>::max()) {
        return static_cast<std::size_t>(limit.rlim_cur);
    }
#endif
    return std::numeric_limits<std::size_t>::max();
}

}  // namespace

std::size_t memory_budget_bytes() {
    return std::min(physical_memory(), address_space_limit()) / kShare;
}

std::string memory_runaway_message(std::size_t limit, std::string_view runaway) {
    char size[32];
    if (limit >= (std::size_t{1} << 30)) {
        std::snprintf(size, sizeof size, "%.1f GB", static_cast<double>(limit) / (1 << 30));
    } else {
        std::snprintf(size, sizeof size, "%.1f MB", static_cast<double>(limit) / (1 << 20));
    }
    std::string message = "exceeded the memory budget of ";
    message += size;
    message += " (one eighth of the memory the process may use)";
    const std::size_t advice = runaway.find("; ");
    if (advice != std::string_view::npos) message += runaway.substr(advice);
    return message;
}

void StorageBudget::charge(std::size_t bytes) {
    std::size_t used = used_.load(std::memory_order_relaxed);
    do {
        if (used > limit_ || bytes > limit_ - used) exceeded();
    } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
}

void StorageBudget::exceeded() const { throw RunawayError(message_); }

}  // namespace korvath
