#include "reconciliation/reconcile_driver.h"

#include "reconciliation/storage_budget.h"
#include "reconciliation/undated_model.h"
#include "reconciliation/undated_scorer.h"

#include <utility>

namespace korvath::reconciliation {

ReconcileResult undated_clade_reconcile(UndatedReconcileCall call) {
    FlatSpeciesTree& sp = call.species;
    const UndatedExtinction model = build_undated_extinction(
        std::move(sp.sp_left), std::move(sp.sp_right), std::move(sp.sp_is_leaf), sp.sp_time,
        sp.sp_parent_time, sp.sp_root, call.rates, call.transfers);
    UndatedScorer scorer(model);
    ReconcileResult result;
    const std::size_t limit = memory_budget_bytes();
    StorageBudget budget(limit, memory_runaway_message(limit, kScenarioStorageRunaway));
    result.events.budget = &budget;
    const std::size_t families = family_count(call.batch);
    result.loglik.resize(families);
    for (std::size_t k = 0; k < families; ++k) {
        const CladeFamily family = cut_family(call.batch, k);
        const UndatedScorer::CladeTable table = scorer.solve_clades(family);
        result.loglik[k] = scorer.root_loglik(
            table.probability.data() + (family.size() - 1) * model.n, table.exponent.back(),
            call.origination);
        Rng rng = family_rng(call.seed, checked_add(call.first_family, k, "family number"));
        sample_undated_scenarios(model, family, table, call.origination, call.samples, rng, k,
                                 result.events);
    }
    result.events.budget = nullptr;
    return result;
}

}  // namespace korvath::reconciliation
