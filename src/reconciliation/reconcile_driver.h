// The sampled-reconciliation entry point: build the model once, then per
// family solve its clade probabilities, take its log-likelihood and draw its
// scenarios from a generator of its own.
#pragma once

#include "reconciliation/clade_graph.h"
#include "reconciliation/dated_extinction.h"
#include "reconciliation/likelihood_drivers.h"
#include "reconciliation/undated_sampler.h"

#include <cstdint>
#include <vector>

namespace korvath::reconciliation {

// How many scenarios each family gets and from which generators.
struct Sampling {
    std::uint64_t samples = 0;
    std::uint64_t seed = 0;
    // The number of the call's first family in the whole run: family k of the
    // call draws from family_rng(seed, first_family + k).
    std::uint64_t first_family = 0;
};

struct UndatedReconcileCall {
    UndatedCladeCall model;
    Sampling sampling;
};

struct DatedReconcileCall {
    DatedCladeCall model;
    Sampling sampling;
};

struct ReconcileResult {
    std::vector<double> loglik;  // one per family
    SampledEvents events;        // family column: position in the call
};

ReconcileResult undated_clade_reconcile(UndatedReconcileCall call);
// The dated model keeps every gene node's vectors of a window of slices
// while a family is sampled (all slices when they fit); that storage is
// charged to the call's memory budget.
ReconcileResult dated_clade_reconcile(DatedReconcileCall call);

// How a dated family of `nodes` history nodes (`root_splits` of them its
// root's splits) is sampled (DatedScorer::solve_clades), and the bytes that
// holds: every slice in one window when that fits the budget's room, with a
// lean root if only that fits, else the windows that hold the least
// (windows_possible permitting); no windows when nothing fits. `all_slices`
// is a node's vectors and sums over every slice, in doubles.
struct HistoryWindows {
    std::vector<std::size_t> windows;
    bool lean = false;
    std::uint64_t bytes = 0;
};
HistoryWindows plan_history_windows(const DatedExtinction& model, std::uint64_t nodes,
                                    std::uint64_t root_splits, std::uint64_t all_slices,
                                    const StorageBudget& budget, bool windows_possible);

}  // namespace korvath::reconciliation
