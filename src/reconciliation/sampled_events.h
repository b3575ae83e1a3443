// The events of sampled reconciliations, shared by the undated and dated
// samplers, and the generator each family draws from.
#pragma once

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

    // Appends one row, charging the budget every few thousand rows.
    void add(std::uint64_t family_index, std::uint64_t sample_number, ReconciledEvent kind,
             std::size_t branch_index, std::int64_t recipient_index, std::size_t clade_index,
             std::int64_t left_clade, std::int64_t right_clade);
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

// The advice of a dated call whose family's gene histories do not fit.
inline constexpr const char kHistoryStorageRunaway[] =
    "exceeded max_events; the gene histories of a family too large to hold \u2014 lower n_steps "
    "or score the family's trees apart";

// The generator of family `index` of a run started with `seed`: a function
// of the two numbers only, so that a family's scenarios do not depend on how
// the batch was cut into calls.
Rng family_rng(std::uint64_t seed, std::uint64_t index);

// The generator of one gene lineage of a dated scenario: the lineage that
// leads to gene clade `clade` in scenario `sample` of a family whose
// generator gave `key` first. A lineage's draws then do not depend on the
// order in which a scenario's lineages are followed.
Rng lineage_rng(std::uint64_t key, std::uint64_t sample, std::uint64_t clade);

}  // namespace korvath::reconciliation
