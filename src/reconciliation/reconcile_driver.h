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
// The dated model keeps every gene node's vectors of a window of slices at a
// time while a family is sampled (all slices when the species tree's times
// contradict its shape); that storage is charged to the call's memory budget.
ReconcileResult dated_clade_reconcile(DatedReconcileCall call);

// The windows of a dated model's slices in which a history node holds the
// least (DatedScorer::solve_clades); none when it has fewer than two slices.
std::vector<std::size_t> least_windows(const DatedExtinction& model);

// How a dated family of `nodes` history nodes (`root_splits` of them its
// root's splits) is sampled, and the bytes that holds: in `windows` when they
// are given and fit the budget's room; else every slice in one window, with
// a lean root if only that fits; no windows when nothing fits.
struct HistoryWindows {
    std::vector<std::size_t> windows;
    bool lean = false;
    std::uint64_t bytes = 0;
};
HistoryWindows plan_history_windows(const DatedExtinction& model, std::uint64_t nodes,
                                    std::uint64_t root_splits,
                                    const std::vector<std::size_t>& windows,
                                    const StorageBudget& budget);

}  // namespace korvath::reconciliation
