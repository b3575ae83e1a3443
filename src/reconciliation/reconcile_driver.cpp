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
    // Per node: its history (vectors and sums), its values and their scales
    // at the branch tops, and its scale in each slice.
    const std::uint64_t history = checked_add(
        checked_add(model.trajectory_size, model.sums_size, "gene node history"),
        checked_add(checked_mul(model.n, 2, "gene node history"), model.slices.size(),
                    "gene node history"),
        "gene node history");
    return reconcile_families(
        call.model.batch, call.sampling,
        [&](std::size_t k, const CladeFamily& family, Rng& rng, StorageBudget& budget,
            SampledEvents& events) {
            // Every node of the family's graph (a clade, a split of a clade
            // with several, the tips of one species branch) holds its whole
            // history; when they do not fit, a root of several splits keeps
            // one history for all of them and their values at the branch tops.
            const DatedScorer::HistoryPlan plan = scorer.history_plan(family);
            const std::uint64_t full = checked_mul(checked_mul(plan.nodes, history, "gene histories"),
                                                   8, "gene histories");
            std::uint64_t bytes = full;
            bool lean = false;
            if (!budget.fits(static_cast<std::size_t>(full)) && plan.root_splits > 1) {
                const std::uint64_t kept = plan.nodes - plan.root_splits + 1;
                bytes = checked_mul(
                    checked_add(checked_mul(kept, history, "gene histories"),
                                checked_mul(plan.root_splits, model.n, "gene histories"),
                                "gene histories"),
                    8, "gene histories");
                lean = true;
            }
            if (!budget.fits(static_cast<std::size_t>(bytes))) {
                // Named by its place in the batch, so that a caller can tell
                // which of many families to leave out or give fewer steps.
                throw RunawayError(
                    memory_runaway_message(limit, kHistoryStorageRunaway) + " (family " +
                    std::to_string(checked_add(call.sampling.first_family, k, "family number")) +
                    " of the batch)");
            }
            budget.charge(static_cast<std::size_t>(bytes));
            // The value reported is the scorer's, the same bits as scoring
            // gives: scoring forms a root of several splits through its
            // adjoint, while the sampler needs every split's own history.
            const bool adjoint = DatedScorer::root_of_several_splits(family);
            const double scored = adjoint ? scorer.score_clades(family, origination) : 0.0;
            const double solved = scorer.solve_clades(family, origination, lean);
            sample_dated_scenarios(scorer, origination, samples, rng, k, events);
            scorer.release();
            budget.release(static_cast<std::size_t>(bytes));
            return adjoint ? scored : solved;
        });
}

}  // namespace korvath::reconciliation
