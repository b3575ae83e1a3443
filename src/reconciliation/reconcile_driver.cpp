#include "reconciliation/reconcile_driver.h"

#include "reconciliation/dated_extinction.h"
#include "reconciliation/dated_sampler.h"
#include "reconciliation/dated_scorer.h"
#include "reconciliation/storage_budget.h"
#include "reconciliation/undated_model.h"
#include "reconciliation/undated_scorer.h"
#include "support/faults.h"
#include "support/memory_budget.h"

#include <string>
#include <utility>

namespace korvath::reconciliation {

namespace {

// Every family of the batch in order: `sample(k, family, rng, budget, events)`
// draws family k's scenarios from its own generator into the events (charged
// to the call's storage budget) and returns its log-likelihood.
template <class Sample>
ReconcileResult reconcile_families(const CladeBatch& batch, const Sampling& sampling,
                                   Sample&& sample) {
    ReconcileResult result;
    const std::size_t limit = memory_budget_bytes();
    StorageBudget budget(limit, memory_runaway_message(limit, kScenarioStorageRunaway));
    result.events.budget = &budget;
    const std::size_t families = family_count(batch);
    result.loglik.resize(families);
    for (std::size_t k = 0; k < families; ++k) {
        const CladeFamily family = cut_family(batch, k);
        Rng rng = family_rng(sampling.seed, checked_add(sampling.first_family, k, "family number"));
        result.loglik[k] = sample(k, family, rng, budget, result.events);
    }
    result.events.budget = nullptr;
    return result;
}

}  // namespace

ReconcileResult undated_clade_reconcile(UndatedReconcileCall call) {
    const UndatedExtinction model = build_undated_model(call.model);
    const std::uint8_t origination = call.model.origination;
    const std::uint64_t samples = call.sampling.samples;
    UndatedScorer scorer(model);
    return reconcile_families(
        call.model.batch, call.sampling,
        [&](std::size_t k, const CladeFamily& family, Rng& rng, StorageBudget&,
            SampledEvents& events) {
            const UndatedScorer::CladeTable table = scorer.solve_clades(family);
            const double loglik = scorer.root_loglik(
                table.probability.data() + (family.size() - 1) * model.n, table.exponent.back(),
                origination);
            sample_undated_scenarios(model, family, table, origination, samples, rng, k, events);
            return loglik;
        });
}

ReconcileResult dated_clade_reconcile(DatedReconcileCall call) {
    const DatedExtinction model = build_dated_model(call.model);
    const std::uint8_t origination = call.model.origination;
    const std::uint64_t samples = call.sampling.samples;
    DatedScorer scorer(model);
    const std::size_t limit = memory_budget_bytes();
    const std::uint64_t all_slices = checked_add(model.trajectory_size, model.sums_size,
                                                 "gene node history");
    return reconcile_families(
        call.model.batch, call.sampling,
        [&](std::size_t k, const CladeFamily& family, Rng& rng, StorageBudget& budget,
            SampledEvents& events) {
            // Every node of the family's graph (a clade, a split of a clade
            // with several, the tips of one species branch) holds its
            // vectors of every slice, or of a window of slices when they do
            // not fit (see plan_history_windows). The scenarios are the same.
            const DatedScorer::HistoryPlan nodes = scorer.history_plan(family);
            const HistoryWindows plan =
                plan_history_windows(model, nodes.nodes, nodes.root_splits, all_slices, budget,
                                     scorer.windows_possible());
            if (plan.windows.empty()) {
                // Named by its place in the batch, so that a caller can tell
                // which of many families to leave out or give fewer steps.
                throw RunawayError(
                    memory_runaway_message(limit, kHistoryStorageRunaway) + " (family " +
                    std::to_string(checked_add(call.sampling.first_family, k, "family number")) +
                    " of the batch)");
            }
            budget.charge(static_cast<std::size_t>(plan.bytes));
            // The value reported is the scorer's, the same bits as scoring
            // gives: scoring forms a root of several splits through its
            // adjoint, while the sampler needs every split's own history.
            const bool adjoint = DatedScorer::root_of_several_splits(family);
            const double scored = adjoint ? scorer.score_clades(family, origination) : 0.0;
            const double solved = scorer.solve_clades(family, origination, plan.windows, plan.lean);
            sample_dated_scenarios(scorer, origination, samples, rng, k, events);
            scorer.release();
            budget.release(static_cast<std::size_t>(plan.bytes));
            return adjoint ? scored : solved;
        });
}

HistoryWindows plan_history_windows(const DatedExtinction& model, std::uint64_t nodes,
                                    std::uint64_t root_splits, std::uint64_t all_slices,
                                    const StorageBudget& budget, bool windows_possible) {
    // Per node, whatever the windows: its values and their scales at the
    // branch tops (kept, and as integrated), and its scale in each slice;
    // per checkpoint, each node's scales and tops.
    const std::uint64_t n = model.n;
    const std::uint64_t fixed = checked_mul(
        checked_mul(nodes, checked_add(checked_mul(n, 3, "gene histories"), model.slices.size(),
                                       "gene histories"),
                    "gene histories"),
        8, "gene histories");
    // A checkpoint holds every node's scales, and its tops and their scales
    // on the branches alive in the slice after its window.
    auto checkpoints = [&](const std::vector<std::size_t>& windows) {
        std::uint64_t carried = 0;
        for (std::size_t k = 1; k < windows.size(); ++k) {
            carried = checked_add(carried, model.slices[windows[k]].width(), "gene histories");
        }
        return checked_mul(nodes,
                           checked_add(checked_mul(carried, 16, "gene histories"),
                                       checked_mul(windows.size() - 1, 9, "gene histories"),
                                       "gene histories"),
                           "gene histories");
    };
    auto fits = [&](std::uint64_t bytes) {
        return bytes <= SIZE_MAX && budget.fits(static_cast<std::size_t>(bytes));
    };
    auto bytes_of = [&](const std::vector<std::size_t>& windows, std::uint64_t holding) {
        const std::uint64_t held = checked_mul(
            checked_mul(holding, DatedScorer::window_doubles(model, windows), "gene histories"), 8,
            "gene histories");
        return checked_add(checked_add(fixed, held, "gene histories"), checkpoints(windows),
                           "gene histories");
    };
    HistoryWindows plan;
    const std::vector<std::size_t> one{0};
    // Every slice, every node its own history.
    if (const std::uint64_t bytes = bytes_of(one, nodes); fits(bytes)) {
        plan.windows = one;
        plan.bytes = bytes;
        return plan;
    }
    // Every slice, a root of several splits one history for all of them.
    if (root_splits > 1) {
        if (const std::uint64_t bytes = bytes_of(one, nodes - root_splits + 1); fits(bytes)) {
            plan.windows = one;
            plan.bytes = bytes;
            plan.lean = true;
            return plan;
        }
    }
    if (!windows_possible || model.slices.size() < 2) return plan;
    // Windows: every window but the earliest is integrated once more, however
    // many there are, so the windows chosen are those that hold the least
    // (the held window shrinks and the checkpoints grow with their number),
    // leaving the most room for the scenarios.
    std::uint64_t least = UINT64_MAX;
    for (std::uint64_t count = 2; count <= model.slices.size(); ++count) {
        std::vector<std::size_t> windows =
            DatedScorer::plan_windows(model, (all_slices + count - 1) / count);
        if (windows.size() < count) continue;  // the same windows as fewer asked for
        if (checkpoints(windows) >= least) break;  // more windows only add checkpoints
        const std::uint64_t bytes = bytes_of(windows, nodes);
        if (bytes < least) {
            least = bytes;
            plan.windows = std::move(windows);
        }
    }
    plan.bytes = least;
    if (!fits(least)) plan.windows.clear();
    return plan;
}

}  // namespace korvath::reconciliation
