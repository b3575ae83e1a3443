// The gene-family engine: individually named gene copies duplicate, transfer
// and are lost along the dated species tree, families originate on branches,
// and at every speciation a branch's copies pass to its two children. Every
// event becomes one row of the EventLog.
//
//   LogEngineResult result = run_log_engine(std::move(tree_arrays), params,
//                                           LogEngineOptions{.record_speciation = true});
//
// With record_speciation, a speciation mints two new ids per copy and emits one
// S row per copy; without it copies keep their ids and no S row is written.
// Both modes draw the same numbers in the same order.
// Throws InternalFault for a malformed tree and RunawayError when the event
// count passes max_events, the log and copy lists would pass the memory
// budget, or the removals after transfers have walked too far (see
// LogEngineOptions::max_removal_work).
#pragma once

#include "simulation/event_log.h"
#include "simulation/sim_params.h"
#include "simulation/dated_tree_arrays.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace korvath {

inline constexpr std::uint64_t kDefaultMaxEvents = 2'000'000'000;
inline constexpr const char* kFamilyRunawayMessage =
    "exceeded max_events; families likely growing without bound \u2014 set max_family_size";

struct LogEngineOptions {
    bool record_speciation = true;
    std::uint64_t max_events = kDefaultMaxEvents;
    // Checks every removal after a transfer against a walk of the recipient's
    // whole copy list (slow; for tests).
    bool check_removals = false;
    // The search for the copies a removal after a transfer picks from walks
    // the family's copies on the recipient, or its whole copy list: a family
    // growing without bound makes every such removal slower. The run ends
    // with the runaway error once a removal meets a family of more than
    // max_removal_family copies after the run's searches have walked more
    // than max_removal_work positions in all (a few seconds of work), instead
    // of taking hours to reach the memory budget.
    std::uint64_t max_removal_family = std::uint64_t{1} << 16;
    std::uint64_t max_removal_work = std::uint64_t{1} << 30;
    // Bytes the event log and the copy lists may take together (0: the
    // process's memory budget, memory_budget_bytes()). A growth past it stops
    // the run with a RunawayError whose message names the budget.
    std::size_t memory_budget = 0;
};

struct LogEngineResult {
    // Holds the memory of every list in extant_copies, so it is declared
    // first: members are destroyed in reverse order.
    std::unique_ptr<CopyArena> copy_storage;
    EventLog log;
    std::vector<ExtantCopies> extant_copies;  // extant leaves in processing order
    std::uint64_t events = 0;                 // events counted by the clock
    std::uint64_t n_families = 0;             // family ids handed out (all below this)
    std::size_t n_nodes = 0;                  // nodes of the species tree (all branches below this)
};

LogEngineResult run_log_engine(SpeciesTreeArrays tree, const SimParams& params,
                               const LogEngineOptions& options);

}  // namespace korvath
