#include "simulation/parallel_profiles.h"

#include "simulation/counts_engine.h"
#include "simulation/dated_tree.h"
#include "support/faults.h"
#include "support/worker_pool.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>

namespace korvath {
namespace {

// Arenas lent to the copies that run at the same time. A copy borrows one
// for its run and gives it back after, so that the memory a worker's earlier
// copies used is reused instead of being mapped and zeroed again for every
// copy (fresh pages cost as much as the events on the large trees). At most
// one arena per worker thread ever exists; all are freed with the lender.
class ArenaLender {
public:
    class Loan {
    public:
        explicit Loan(ArenaLender& lender) : lender_(lender), arena_(lender.take()) {}
        ~Loan() { lender_.give_back(std::move(arena_)); }
        Loan(const Loan&) = delete;
        Loan& operator=(const Loan&) = delete;
        CopyArena* get() const { return arena_.get(); }

    private:
        ArenaLender& lender_;
        std::unique_ptr<CopyArena> arena_;
    };

private:
    std::unique_ptr<CopyArena> take() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                std::unique_ptr<CopyArena> arena = std::move(idle_.back());
                idle_.pop_back();
                return arena;
            }
        }
        return std::make_unique<CopyArena>();
    }

    void give_back(std::unique_ptr<CopyArena> arena) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        try {
            idle_.push_back(std::move(arena));
        } catch (...) {
            // No room to keep it: the arena is freed here instead.
        }
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<CopyArena>> idle_;
};

}  // namespace

std::vector<CopyPlan> plan_copies(std::uint64_t seed, std::uint64_t initial_size,
                                  std::uint64_t n_copies) {
    const std::uint64_t n = std::max<std::uint64_t>(n_copies, 1);
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(CopyPlan)) {
        fault("too many copies: " + std::to_string(n_copies));
    }
    const std::uint64_t share = initial_size / n;
    const std::uint64_t one_more = initial_size % n;
    std::vector<CopyPlan> plans(static_cast<std::size_t>(n));
    std::uint64_t state = seed;
    for (std::uint64_t i = 0; i < n; ++i) {
        state += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        plans[i].seed = z ^ (z >> 31);
        plans[i].founders = share + (i < one_more ? 1 : 0);
    }
    return plans;
}

ProfileParts simulate_profile_parts(SpeciesTreeArrays arrays, const SimParams& params,
                                    std::uint64_t n_copies, std::uint64_t n_threads,
                                    std::uint64_t max_events) {
    const SpeciesTree tree(std::move(arrays));
    const std::vector<CopyPlan> plans = plan_copies(params.seed, params.initial_size, n_copies);
    const double copy_origination = params.origination / static_cast<double>(plans.size());

    std::vector<ProfileRows> parts(plans.size());
    ArenaLender arenas;  // outlives the pool, so every loan has ended before it goes
    {
        WorkerPool pool(static_cast<std::size_t>(std::min<std::uint64_t>(
            std::max<std::uint64_t>(n_threads, 1), std::numeric_limits<std::size_t>::max())));
        pool.run_indexed(plans.size(), [&](std::size_t i) {
            SimParams copy = params;
            copy.seed = plans[i].seed;
            copy.initial_size = plans[i].founders;
            copy.origination = copy_origination;
            const ArenaLender::Loan arena(arenas);
            parts[i] = simulate_counts(tree, copy, max_events, arena.get());
        });
    }  // the pool's threads are joined here, also when a copy failed
    return collect_profile_parts(extant_leaf_list(tree), std::move(parts));
}

ProfileTable simulate_profiles_parallel(SpeciesTreeArrays arrays, const SimParams& params,
                                        std::uint64_t n_copies, std::uint64_t n_threads,
                                        std::uint64_t max_events) {
    return merge_profile_parts(
        simulate_profile_parts(std::move(arrays), params, n_copies, n_threads, max_events));
}

ProfileTable simulate_profiles_parallel(SpeciesTreeArrays arrays, const SimParams& params,
                                        std::uint64_t n_copies, std::uint64_t n_threads) {
    return simulate_profiles_parallel(std::move(arrays), params, n_copies, n_threads,
                                      kCountsMaxEvents);
}

}  // namespace korvath
