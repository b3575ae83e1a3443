// simulate_profiles_parallel: one run split into independent counts-only runs
// ("copies"), each with a share of the founding families, a share of the
// origination rate and its own seed, run on a fresh pool of worker threads and
// merged in copy order. Families are independent and origination is a Poisson
// process, so the merged rows have the distribution of one full run.
#pragma once

#include "simulation/counts_engine.h"
#include "simulation/profile_rows.h"
#include "simulation/sim_params.h"
#include "simulation/dated_tree_arrays.h"

#include <cstdint>
#include <vector>

namespace korvath {

// What one copy changes of the caller's parameters.
struct CopyPlan {
    std::uint64_t seed = 0;
    std::uint64_t founders = 0;
};

// The per-copy seeds (successive SplitMix64 outputs of a stream started at
// `seed`) and founder counts (initial_size spread as evenly as possible, the
// first copies taking one more) for max(n_copies, 1) copies.
std::vector<CopyPlan> plan_copies(std::uint64_t seed, std::uint64_t initial_size,
                                  std::uint64_t n_copies);

// Runs max(n_copies, 1) copies on a fresh pool of max(n_threads, 1) threads
// that is shut down before returning. The result does not depend on n_threads.
// Throws RunawayError when a copy exceeds `max_events` or the pool cannot be
// built, InternalFault on inconsistent input.
ProfileTable simulate_profiles_parallel(SpeciesTreeArrays arrays, const SimParams& params,
                                        std::uint64_t n_copies, std::uint64_t n_threads,
                                        std::uint64_t max_events);
// The same run, its copies' rows left as parts (merge_profile_parts gives
// the table above).
ProfileParts simulate_profile_parts(SpeciesTreeArrays arrays, const SimParams& params,
                                    std::uint64_t n_copies, std::uint64_t n_threads,
                                    std::uint64_t max_events = kCountsMaxEvents);
ProfileTable simulate_profiles_parallel(SpeciesTreeArrays arrays, const SimParams& params,
                                        std::uint64_t n_copies, std::uint64_t n_threads);

}  // namespace korvath
