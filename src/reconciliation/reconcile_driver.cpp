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
    // The same for every family: a node's bytes, and so the windows that
    // hold the least, do not depend on the family.
    const std::vector<std::size_t> windows =
        scorer.windows_possible() ? least_windows(model) : std::vector<std::size_t>{};
    return reconcile_families(
        call.model.batch, call.sampling,
        [&](std::size_t k, const CladeFamily& family, Rng& rng, StorageBudget& budget,
            SampledEvents& events) {
            // Every node of the family's graph (a clade, a split of a clade
            // with several, the tips of one species branch) holds its
            // vectors a window of slices at a time where the species tree
            // permits, else of every slice (see plan_history_windows). The
            // scenarios are the same.
            const DatedScorer::HistoryPlan nodes = scorer.history_plan(family);
            const HistoryWindows plan =
                plan_history_windows(model, nodes.nodes, nodes.root_splits, windows, budget);
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

namespace {

// Below this a family's vectors of every slice stay in cache, and holding
// them all beats integrating each window twice. (Measured: for families
// simulated on 12- and 20-species trees, 100 scenarios each, every slice
// held was 8 % faster than windows, on 30 species the same; in
// bench/reconcile.py's batch, on 40 species, 1.4 times slower, and for its
// 300-leaf tree on 200 species 1.5 times slower, in 7 times the memory.)
constexpr std::uint64_t kWholeInCacheBytes = std::uint64_t{4} << 20;

// What one history node holds with the given windows, in bytes: its values
// and their scales at the branch tops (kept, and as integrated), its scale in
// each slice, its vectors and sums of the largest window, and in each
// checkpoint its scales and its tops (with their scales) on the branches
// alive in the slice after the window.
// A node's tops and scales, whatever the windows, in doubles.
std::uint64_t tops_doubles(const DatedExtinction& model) {
    return checked_add(checked_mul(model.n, 3, "gene histories"), model.slices.size(),
                       "gene histories");
}

std::uint64_t node_bytes(const DatedExtinction& model, const std::vector<std::size_t>& windows) {
    const std::uint64_t doubles = checked_add(
        tops_doubles(model), DatedScorer::window_doubles(model, windows), "gene histories");
    std::uint64_t carried = 0;
    for (std::size_t k = 1; k < windows.size(); ++k) {
        carried = checked_add(carried, model.slices[windows[k]].width(), "gene histories");
    }
    return checked_add(checked_mul(checked_add(doubles, checked_mul(carried, 2, "gene histories"),
                                               "gene histories"),
                                   8, "gene histories"),
                       checked_mul(windows.size() - 1, 9, "gene histories"), "gene histories");
}

}  // namespace

std::vector<std::size_t> least_windows(const DatedExtinction& model) {
    const std::size_t slices = model.slices.size();
    if (slices < 2) return {};
    const std::uint64_t all = checked_add(model.trajectory_size, model.sums_size, "gene histories");
    // The held window shrinks and the checkpoints grow with the number of
    // windows; past the least, more only add checkpoints.
    std::vector<std::size_t> best;
    std::uint64_t least = UINT64_MAX;
    for (std::uint64_t count = 2; count <= slices; ++count) {
        std::vector<std::size_t> windows = DatedScorer::plan_windows(model, (all + count - 1) / count);
        if (windows.size() < count) continue;  // the same windows as fewer asked for
        const std::uint64_t bytes = node_bytes(model, windows);
        if (bytes < least) {
            least = bytes;
            best = std::move(windows);
        } else if (windows.size() > 2 * best.size() + 8) {
            break;
        }
    }
    return best;
}

HistoryWindows plan_history_windows(const DatedExtinction& model, std::uint64_t nodes,
                                    std::uint64_t root_splits,
                                    const std::vector<std::size_t>& windows,
                                    const StorageBudget& budget) {
    auto fits = [&](std::uint64_t bytes) {
        return bytes <= SIZE_MAX && budget.fits(static_cast<std::size_t>(bytes));
    };
    HistoryWindows plan;
    const std::vector<std::size_t> one{0};
    const std::uint64_t whole = node_bytes(model, one);
    const std::uint64_t all_whole = checked_mul(nodes, whole, "gene histories");
    // A family small enough to stay in cache holds every slice, which
    // integrates it once.
    if (all_whole <= kWholeInCacheBytes && fits(all_whole)) {
        plan.windows = one;
        plan.bytes = all_whole;
        return plan;
    }
    // Windows when the species tree permits: the vectors a node's parent and
    // the sampler read are then still in cache, which is faster than every
    // slice held even with each window integrated twice.
    if (!windows.empty()) {
        const std::uint64_t bytes = checked_mul(nodes, node_bytes(model, windows), "gene histories");
        if (fits(bytes)) {
            plan.windows = windows;
            plan.bytes = bytes;
            return plan;
        }
    }
    // Every slice, every node its own history.
    if (fits(all_whole)) {
        plan.windows = one;
        plan.bytes = all_whole;
        return plan;
    }
    // Every slice, a root of several splits one history for all of them (its
    // splits' tops and scales still kept).
    if (root_splits > 1) {
        const std::uint64_t tops = checked_mul(tops_doubles(model), 8, "gene histories");
        const std::uint64_t bytes =
            checked_add(checked_mul(nodes - root_splits + 1, whole, "gene histories"),
                        checked_mul(root_splits - 1, tops, "gene histories"), "gene histories");
        if (fits(bytes)) {
            plan.windows = one;
            plan.bytes = bytes;
            plan.lean = true;
            return plan;
        }
    }
    return plan;
}

}  // namespace korvath::reconciliation
