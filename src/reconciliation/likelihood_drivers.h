// The four likelihood entry points: build the model once, optionally add the
// extinct-family term, then score every tree of the batch in order and return
// the running sum (joint) or one value per tree (family).
#pragma once

#include "reconciliation/clade_graph.h"
#include "reconciliation/dated_extinction.h"
#include "reconciliation/likelihood_input.h"
#include "reconciliation/undated_model.h"

#include <cstdint>
#include <vector>

namespace korvath::reconciliation {

struct DatedLikelihoodCall {
    FlatSpeciesTree species;  // sp_parent supplies the branch count
    GeneTreeBatch batch;
    DtlRates rates;
    std::uint64_t n_steps = 0;
    std::uint8_t origination = 0;
};

struct UndatedLikelihoodCall {
    FlatSpeciesTree species;  // sp_parent is not used
    GeneTreeBatch batch;
    DtlRates rates;
    std::uint8_t transfers = 0;
    std::uint8_t origination = 0;
};

struct DatedCladeCall {
    FlatSpeciesTree species;  // sp_parent supplies the branch count
    CladeBatch batch;
    DtlRates rates;
    std::uint64_t n_steps = 0;
    std::uint8_t origination = 0;
};

struct UndatedCladeCall {
    FlatSpeciesTree species;  // sp_parent is not used
    CladeBatch batch;
    DtlRates rates;
    std::uint8_t transfers = 0;
    std::uint8_t origination = 0;
};

// The probability that one family started under the origination mode leaves
// no gene at the tips. NaN when the uniform mean has no terms.
double no_survivor_probability(const DatedExtinction& model, std::uint8_t origination);
double no_survivor_probability(const UndatedExtinction& model, std::uint8_t origination);

// n_extinct * ln P0 + 0.0, with ln P0 = -inf unless P0 > 0.
double extinct_family_term(std::uint64_t n_extinct, double no_survivor);

double dated_joint_loglik(DatedLikelihoodCall call, std::uint64_t n_extinct);
std::vector<double> dated_family_loglik(DatedLikelihoodCall call);
double undated_joint_loglik(UndatedLikelihoodCall call, std::uint64_t n_extinct);
std::vector<double> undated_family_loglik(UndatedLikelihoodCall call);
// The models of clade-graph calls, built once per call (the species arrays
// are moved out of the call).
DatedExtinction build_dated_model(DatedCladeCall& call);
UndatedExtinction build_undated_model(UndatedCladeCall& call);

// A family that is not one tree (an unrooted tree, a sample) holds each
// clade below an edge of a slice until the clade above its sibling reads it.
// When its plan holds more than `pieces_above` bytes of vectors at once, far
// more than a cache, those are written out and read back slice by slice; it
// is then integrated with the slices cut into pieces of at most
// kDatedPieceSteps steps, and holds a piece's vectors instead, for a piece
// start and a rescale check per node and piece. A tree reads each node soon
// after writing it and is never cut. The pieces take the same steps, so the
// values agree with those of whole slices to rounding (the root's terms are
// summed piece by piece).
inline constexpr std::uint64_t kDatedPieceSteps = 10;
inline constexpr double kDatedPiecesAbove = 16.0 * 1024 * 1024;

// One value per family of a clade-graph batch.
std::vector<double> dated_clade_loglik(DatedCladeCall call,
                                       double pieces_above = kDatedPiecesAbove);
std::vector<double> undated_clade_loglik(UndatedCladeCall call);

}  // namespace korvath::reconciliation
