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
#include "simulation/rng.h"
#include "support/memory_budget.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvath::reconciliation {

// Event codes of sampled scenarios; the letters are "ODTLS" indexed by code.
enum class ReconciledEvent : std::uint8_t {
    kOrigination = 0,
    kDuplication = 1,
    kTransfer = 2,
    kLoss = 3,
    kSpeciation = 4,
};

// The events of sampled scenarios, one row per event, each scenario in the
// order of a depth-first walk from the origination (a clade's events before
// those of its children, the left child's subtree first).
//   family, sample: the family's position in the call and the scenario's number;
//   branch: where the event happens (for a loss, the branch whose copy dies);
//   recipient: for a transfer, the receiving branch; -1 otherwise;
//   clade: the gene clade (local index) whose lineage the event is on;
//   left, right: for an event that splits the clade, its two child clades:
//     speciation: left goes to the branch's first daughter, right to the second;
//     duplication: both stay; transfer: left stays, right goes to the recipient;
//     -1 for events that do not split the clade.
struct SampledEvents {
    // Charged as rows are added; the call's runaway error once it is full.
    StorageBudget* budget = nullptr;

    std::vector<std::uint64_t> family;
    std::vector<std::uint64_t> sample;
    std::vector<std::uint8_t> event;
    std::vector<std::int64_t> branch;
    std::vector<std::int64_t> recipient;
    std::vector<std::int64_t> clade;
    std::vector<std::int64_t> left;
    std::vector<std::int64_t> right;

    std::size_t size() const { return event.size(); }
};

// A sampled scenario stops with RunawayError after this many events: the
// expected count is finite whenever the probabilities are, so only rates far
// beyond criticality get there.
inline constexpr std::uint64_t kMaxScenarioEvents = 10000000;
inline constexpr const char kScenarioRunaway[] =
    "exceeded max_events; a sampled scenario passed 10000000 events \u2014 lower duplication/"
    "transfer or raise loss";
// The advice of a call whose scenarios do not fit its memory budget.
inline constexpr const char kScenarioStorageRunaway[] =
    "exceeded max_events; sampled scenarios too large to hold \u2014 ask for fewer samples or "
    "fewer families per call";

// The generator of family `index` of a run started with `seed`: a function
// of the two numbers only, so that a family's scenarios do not depend on how
// the batch was cut into calls.
Rng family_rng(std::uint64_t seed, std::uint64_t index);

// Appends `samples` scenarios of one family (numbered 0 .. samples-1, family
// column `family_index`) drawn from the clade table of `family`. Nothing is
// appended when the family's likelihood is 0 under the origination mode
// (origination 1: uniform over branches; otherwise at the species root).
void sample_undated_scenarios(const UndatedExtinction& model, const CladeFamily& family,
                              const UndatedScorer::CladeTable& table, std::uint8_t origination,
                              std::uint64_t samples, Rng& rng, std::uint64_t family_index,
                              SampledEvents& out);

}  // namespace korvath::reconciliation
