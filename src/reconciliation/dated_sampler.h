// Sampled reconciliations under the dated model: stochastic backtracking
// through the gene nodes' histories kept by DatedScorer::solve_clades.
//
// Every Euler step writes a node's value on an alive branch as a sum of
// non-negative terms of the previous step's values: nothing happens (weight
// 1 - dt R), a duplication or transfer whose other copy is lost, a transfer
// whose donor copy is lost (the gene goes on in the recipient), and for a
// node with two children a duplication or a transfer that splits it. At the
// lower end of a branch the value is the speciation terms (one daughter's
// copy lost, or the children split between the daughters), or the gene tip.
// A scenario follows each lineage forward in time, choosing at every step a
// term in proportion to its value. Each lineage draws from its own generator
// (lineage_rng of the family's first draw, the scenario and the clade), so
// the scenarios do not depend on how the scorer's slices were windowed.
#pragma once

#include "reconciliation/dated_scorer.h"
#include "reconciliation/sampled_events.h"

#include <cstdint>

namespace korvath::reconciliation {

// Appends `samples` scenarios of the family last solved by
// `scorer.solve_clades` (numbered 0 .. samples-1, family column
// `family_index`). Nothing is appended when its likelihood is 0. The
// scorer's windows of slices after the first are integrated again as the
// scenarios reach them.
void sample_dated_scenarios(DatedScorer& scorer, std::uint8_t origination,
                            std::uint64_t samples, Rng& rng, std::uint64_t family_index,
                            SampledEvents& out);

}  // namespace korvath::reconciliation
