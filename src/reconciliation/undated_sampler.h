// Sampled reconciliations under the undated and reldated models: stochastic
// backtracking through the gene-clade probabilities of UndatedScorer. At a
// clade u on branch z, the fixed-point equation writes P[u][z] as a sum of
// terms, one per way the lineage can go on (an event on z and the states it
// leads to); a scenario is drawn by choosing a term in proportion to its value
// and following it, from the origination down to the gene tips. The terms that
// keep the lineage at a clade (a duplication or transfer whose other copy is
// lost, a speciation with one daughter lost, a transfer whose donor copy is
// lost) are drawn as well, so scenarios carry the model's full event counts.
#pragma once

#include "reconciliation/clade_graph.h"
#include "reconciliation/undated_model.h"
#include "reconciliation/undated_scorer.h"
#include "reconciliation/sampled_events.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvath::reconciliation {

// Appends `samples` scenarios of one family (numbered 0 .. samples-1, family
// column `family_index`) drawn from the clade table of `family`. Nothing is
// appended when the family's likelihood is 0 under the origination mode
// (origination 1: uniform over branches; otherwise at the species root).
void sample_undated_scenarios(const UndatedExtinction& model, const CladeFamily& family,
                              const UndatedScorer::CladeTable& table, std::uint8_t origination,
                              std::uint64_t samples, Rng& rng, std::uint64_t family_index,
                              SampledEvents& out);

}  // namespace korvath::reconciliation
