#include "simulation/counts_engine.h"

#include "simulation/counts_engine_impl.h"
#include "simulation/family_counts.h"

namespace korvath {

ProfileRows simulate_counts(const SpeciesTree& tree, const SimParams& params,
                            std::uint64_t max_events, CopyArena* arena) {
    return CountsRun<FamilyCounts>(tree, params, max_events, arena).run();
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
