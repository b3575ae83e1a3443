#include "simulation/counts_engine.h"

#include "simulation/counts_engine_impl.h"
#include "simulation/family_counts.h"

namespace korvath {

std::unique_ptr<StorageBudget> counts_budget(std::size_t limit) {
    if (limit == 0) limit = memory_budget_bytes();
    return std::make_unique<StorageBudget>(limit,
                                           memory_runaway_message(limit, kCountsRunawayMessage));
}

ProfileRows simulate_counts(const SpeciesTree& tree, const SimParams& params,
                            std::uint64_t max_events, CopyArena* arena, StorageBudget* budget) {
    std::unique_ptr<StorageBudget> own;
    if (budget == nullptr) {
        own = counts_budget();
        budget = own.get();
    }
    return CountsRun<FamilyCounts>(tree, params, max_events, arena, budget).run();
}

ProfileParts simulate_profile_parts(SpeciesTreeArrays arrays, const SimParams& params) {
    const SpeciesTree tree(std::move(arrays));
    std::vector<ProfileRows> parts;
    parts.push_back(simulate_counts(tree, params));
    return collect_profile_parts(extant_leaf_list(tree), std::move(parts));
}

ProfileTable simulate_profiles(SpeciesTreeArrays arrays, const SimParams& params) {
    return merge_profile_parts(simulate_profile_parts(std::move(arrays), params));
}

}  // namespace korvath
