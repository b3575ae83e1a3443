// How much memory one call may hold in the storage that grows with a run: the
// event log and copy lists of the gene-family engine, the family tables of the
// counts-only engine, the segment lists of the nucleotide engine, and the
// arrays converted from Python sequences.
//
// The budget is one eighth of the memory the process may use: its physical
// memory, or its address-space limit (RLIMIT_AS, `ulimit -v`) when one is set
// and smaller. A run whose storage would grow past it ends with the engine's
// runaway error instead of being killed by the operating system. One eighth
// leaves room for the rest of the process and for the Python result, which
// takes several times the bytes of the storage it is built from (a 41-byte
// event row becomes about 180 bytes of lists and ints).
//
// A run charges its storage as it grows and gives it back as it shrinks; a
// charge that would pass the limit throws RunawayError with the run's message
// and charges nothing. Smaller structures that grow with the charged ones are
// not charged themselves: the gene-family engine's per-branch family index
// (kept only with a cap or replacement) takes at most a few times the bytes
// of the copy lists it indexes, and the rows of the extant leaves are a copy
// of their tables. Charges may come from several threads at once (the
// copies of the parallel profiles share one budget).
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace korvath {

// One eighth of min(physical memory, RLIMIT_AS), read afresh on every call.
std::size_t memory_budget_bytes();

// The runaway message of a run stopped by its budget: `runaway` (an engine's
// "exceeded max_events; <advice>") with its first clause replaced by one that
// names the budget, e.g. "exceeded the memory budget of 2.9 GB (one eighth of
// the memory the process may use); <advice>".
std::string memory_runaway_message(std::size_t limit, std::string_view runaway);

class StorageBudget {
public:
    StorageBudget(std::size_t limit, std::string message)
        : limit_(limit), message_(std::move(message)) {}
    StorageBudget(const StorageBudget&) = delete;
    StorageBudget& operator=(const StorageBudget&) = delete;

    // Adds `bytes` to the storage held; throws RunawayError(message) and adds
    // nothing when that would pass the limit.
    void charge(std::size_t bytes);
    // Whether `bytes` more would still fit (another thread may take the room
    // before they are charged).
    bool fits(std::size_t bytes) const noexcept {
        const std::size_t used = used_.load(std::memory_order_relaxed);
        return used <= limit_ && bytes <= limit_ - used;
    }
    void release(std::size_t bytes) noexcept { used_.fetch_sub(bytes, std::memory_order_relaxed); }
    // The bytes still free.
    std::size_t room() const noexcept {
        const std::size_t used = used_.load(std::memory_order_relaxed);
        return used < limit_ ? limit_ - used : 0;
    }

    std::size_t limit() const noexcept { return limit_; }
    std::size_t used() const noexcept { return used_.load(std::memory_order_relaxed); }
    const std::string& message() const noexcept { return message_; }

    // Throws RunawayError(message) (for a growth known to pass the limit).
    [[noreturn]] void exceeded() const;

private:
    std::atomic<std::size_t> used_{0};
    const std::size_t limit_;
    const std::string message_;
};

}  // namespace korvath
