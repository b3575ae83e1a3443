// The counts-only engine: gene families evolve along the species tree by
// duplication, transfer, loss and origination, but each active branch keeps
// only a copy count per family. The result is the copy-number rows of the
// extant leaves.
#pragma once

#include "simulation/copy_arena.h"
#include "simulation/profile_rows.h"
#include "simulation/sim_params.h"
#include "simulation/dated_tree.h"
#include "simulation/dated_tree_arrays.h"
#include "support/memory_budget.h"

#include <cstdint>
#include <memory>

namespace korvath {

// A run stops once it has counted more events than this.
inline constexpr std::uint64_t kCountsMaxEvents = 2'000'000'000;

inline constexpr const char* kCountsRunawayMessage =
    "exceeded max_events; families likely growing without bound \u2014 set max_family_size";

// One counts-only run with params.seed, params.initial_size founding families
// and params.origination. Reads the tree only, so several runs may share it
// from several threads. Throws RunawayError(kCountsRunawayMessage) when the
// event count passes `max_events`, InternalFault on inconsistent input.
// The branches' storage comes from `arena` when given (several runs one
// after another may share one, so that its memory is reused rather than
// mapped afresh), otherwise from an arena of the run's own.
// The branches' family tables are charged to `budget` when given (the copies
// of a split run share one), otherwise to a budget of the run's own of
// memory_budget_bytes(); a table that would pass it ends the run with a
// RunawayError whose message names the budget.
ProfileRows simulate_counts(const SpeciesTree& tree, const SimParams& params,
                            std::uint64_t max_events = kCountsMaxEvents,
                            CopyArena* arena = nullptr, StorageBudget* budget = nullptr);

// The budget of one counts-only call: memory_budget_bytes() when `limit` is 0.
std::unique_ptr<StorageBudget> counts_budget(std::size_t limit = 0);

// simulate_profiles: one run with the caller's seed and founders, as a table,
// or as a single part (for callers that copy the rows out once).
ProfileTable simulate_profiles(SpeciesTreeArrays arrays, const SimParams& params);
ProfileParts simulate_profile_parts(SpeciesTreeArrays arrays, const SimParams& params);

}  // namespace korvath
