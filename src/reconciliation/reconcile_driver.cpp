#include "reconciliation/reconcile_driver.h"

#include "reconciliation/dated_extinction.h"
#include "reconciliation/dated_sampler.h"
#include "reconciliation/dated_scorer.h"
#include "reconciliation/storage_budget.h"
#include "reconciliation/undated_model.h"
#include "reconciliation/undated_scorer.h"
#include "support/faults.h"
#include "support/memory_budget.h"

#include <utility>

namespace korvath::reconciliation {

ReconcileResult undated_clade_reconcile(UndatedReconcileCall call) {
    const UndatedExtinction model = build_undated_model(call.model);
    const CladeBatch& batch = call.model.batch;
    const std::uint8_t origination = call.model.origination;
    const Sampling& sampling = call.sampling;
    UndatedScorer scorer(model);
    ReconcileResult result;
    const std::size_t limit = memory_budget_bytes();
    StorageBudget budget(limit, memory_runaway_message(limit, kScenarioStorageRunaway));
    result.events.budget = &budget;
    const std::size_t families = family_count(batch);
    result.loglik.resize(families);
    for (std::size_t k = 0; k < families; ++k) {
        const CladeFamily family = cut_family(batch, k);
        const UndatedScorer::CladeTable table = scorer.solve_clades(family);
        result.loglik[k] = scorer.root_loglik(
            table.probability.data() + (family.size() - 1) * model.n, table.exponent.back(),
            origination);
        Rng rng = family_rng(sampling.seed, checked_add(sampling.first_family, k, "family number"));
        sample_undated_scenarios(model, family, table, origination, sampling.samples, rng, k,
                                 result.events);
    }
    result.events.budget = nullptr;
    return result;
}

ReconcileResult dated_clade_reconcile(DatedReconcileCall call) {
    const DatedExtinction model = build_dated_model(call.model);
    const CladeBatch& batch = call.model.batch;
    const std::uint8_t origination = call.model.origination;
    const Sampling& sampling = call.sampling;
    DatedScorer scorer(model);
    ReconcileResult result;
    const std::size_t limit = memory_budget_bytes();
    StorageBudget budget(limit, memory_runaway_message(limit, kScenarioStorageRunaway));
    result.events.budget = &budget;
    const std::size_t families = family_count(batch);
    result.loglik.resize(families);
    const std::uint64_t history =
        checked_add(model.trajectory_size, model.sums_size, "gene node history");
    for (std::size_t k = 0; k < families; ++k) {
        const CladeFamily family = cut_family(batch, k);
        // Every node of the family's graph (a clade, or a split of a clade
        // with several) holds its whole history.
        const std::uint64_t nodes =
            checked_add(family.size(), family.split_begin.back() - family.split_begin.front(),
                        "gene graph nodes");
        const std::uint64_t bytes =
            checked_mul(checked_mul(nodes, history, "gene histories"), 8, "gene histories");
        if (!budget.fits(static_cast<std::size_t>(bytes))) {
            throw RunawayError(memory_runaway_message(limit, kHistoryStorageRunaway));
        }
        budget.charge(static_cast<std::size_t>(bytes));
        // The value reported is the scorer's, so that it is the same bits as
        // scoring gives (a root of several splits is scored through its
        // adjoint, while the sampler needs every split's own history).
        const double scored = scorer.score_clades(family, origination);
        scorer.solve_clades(family, origination);
        result.loglik[k] = scored;
        Rng rng = family_rng(sampling.seed, checked_add(sampling.first_family, k, "family number"));
        sample_dated_scenarios(scorer, origination, sampling.samples, rng, k, result.events);
        scorer.release();
        budget.release(static_cast<std::size_t>(bytes));
    }
    result.events.budget = nullptr;
    return result;
}

}  // namespace korvath::reconciliation
