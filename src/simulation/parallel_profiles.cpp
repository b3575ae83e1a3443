#include "simulation/parallel_profiles.h"

#include "simulation/counts_engine.h"
#include "simulation/dated_tree.h"
#include "support/faults.h"
#include "support/lending_pool.h"
#include "support/worker_pool.h"

#include <algorithm>
#include <limits>

namespace korvath {

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
    // All copies charge their tables to one budget, declared before the
    // arenas that charge it. The per-copy records and results come first:
    // their number is the caller's, so too many copies end the run before
    // any is allocated.
    const std::unique_ptr<StorageBudget> budget = counts_budget();
    const std::uint64_t n_plans = std::max<std::uint64_t>(n_copies, 1);
    constexpr std::size_t kBytesPerCopy = sizeof(CopyPlan) + sizeof(ProfileRows);
    if (n_plans > budget->limit() / kBytesPerCopy) budget->exceeded();
    budget->charge(static_cast<std::size_t>(n_plans) * kBytesPerCopy);
    const std::vector<CopyPlan> plans = plan_copies(params.seed, params.initial_size, n_copies);
    const double copy_origination = params.origination / static_cast<double>(plans.size());

    std::vector<ProfileRows> parts(plans.size());
    const auto n_workers = static_cast<std::size_t>(std::min<std::uint64_t>(
        std::max<std::uint64_t>(n_threads, 1), std::numeric_limits<std::size_t>::max()));
    // A copy borrows an arena for its run, so that a worker's later copies
    // reuse the memory its earlier ones mapped and touched instead of mapping
    // and zeroing fresh pages for every copy. Declared before the pool, so
    // every loan has ended before the arenas go.
    LendingPool<CopyArena> arenas(std::min<std::size_t>(n_workers, plans.size()));
    {
        WorkerPool pool(n_workers);
        pool.run_indexed(plans.size(), [&](std::size_t i) {
            SimParams copy = params;
            copy.seed = plans[i].seed;
            copy.initial_size = plans[i].founders;
            copy.origination = copy_origination;
            const LendingPool<CopyArena>::Lease arena = arenas.take();
            parts[i] = simulate_counts(tree, copy, max_events, arena.get(), budget.get());
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
