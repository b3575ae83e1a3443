#include "reconciliation/likelihood_drivers.h"

#include "reconciliation/dated_scorer.h"
#include "reconciliation/undated_scorer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

namespace korvath::reconciliation {

namespace {

template <class Call>
DatedExtinction dated_model_of(Call& call) {
    FlatSpeciesTree& sp = call.species;
    return build_dated_extinction(sp.sp_parent.size(), std::move(sp.sp_left),
                                  std::move(sp.sp_right), std::move(sp.sp_is_leaf),
                                  std::move(sp.sp_time), std::move(sp.sp_parent_time), sp.sp_root,
                                  call.rates, call.n_steps);
}

template <class Call>
UndatedExtinction undated_model_of(Call& call) {
    FlatSpeciesTree& sp = call.species;
    return build_undated_extinction(std::move(sp.sp_left), std::move(sp.sp_right),
                                    std::move(sp.sp_is_leaf), sp.sp_time, sp.sp_parent_time,
                                    sp.sp_root, call.rates, call.transfers);
}

// Scores every tree of the batch in order, handing each value to `take`.
template <class Score, class Take>
void score_batch(const GeneTreeBatch& batch, Score&& score, Take&& take) {
    const std::size_t trees = tree_count(batch);
    for (std::size_t k = 0; k < trees; ++k) take(k, score(cut_tree(batch, k)));
}

}  // namespace

double no_survivor_probability(const DatedExtinction& model, std::uint8_t origination) {
    if (origination == 1) {
        double sum = 0.0;
        std::size_t count = 0;
        for (std::size_t b = 0; b < model.n; ++b) {
            if (has_length(model.branch_length[b])) {
                sum += model.e_top[b];
                ++count;
            }
        }
        return count == 0 ? std::numeric_limits<double>::quiet_NaN()
                          : sum / static_cast<double>(count);
    }
    const RootDaughters root = dated_root_daughters(model);
    return model.e_top[root.left] * model.e_top[root.right];
}

double no_survivor_probability(const UndatedExtinction& model, std::uint8_t origination) {
    if (origination == 1) {
        double sum = 0.0;
        for (double e : model.extinction) sum += e;
        return sum / static_cast<double>(model.n);
    }
    return model.extinction[undated_root(model)];
}

double extinct_family_term(std::uint64_t n_extinct, double no_survivor) {
    const double log_p0 =
        no_survivor > 0.0 ? std::log(no_survivor) : -std::numeric_limits<double>::infinity();
    return static_cast<double>(n_extinct) * log_p0 + 0.0;
}

double dated_joint_loglik(DatedLikelihoodCall call, std::uint64_t n_extinct) {
    const DatedExtinction model = dated_model_of(call);
    double total = 0.0;
    if (n_extinct != 0) {
        total = extinct_family_term(n_extinct, no_survivor_probability(model, call.origination));
    }
    DatedScorer scorer(model);
    score_batch(
        call.batch, [&](const GeneTree& tree) { return scorer.score(tree, call.origination); },
        [&](std::size_t, double value) { total += value; });
    return total;
}

std::vector<double> dated_family_loglik(DatedLikelihoodCall call) {
    const DatedExtinction model = dated_model_of(call);
    std::vector<double> values(tree_count(call.batch));
    DatedScorer scorer(model);
    score_batch(
        call.batch, [&](const GeneTree& tree) { return scorer.score(tree, call.origination); },
        [&](std::size_t k, double value) { values[k] = value; });
    return values;
}

double undated_joint_loglik(UndatedLikelihoodCall call, std::uint64_t n_extinct) {
    const UndatedExtinction model = undated_model_of(call);
    double total = 0.0;
    if (n_extinct != 0) {
        total = extinct_family_term(n_extinct, no_survivor_probability(model, call.origination));
    }
    UndatedScorer scorer(model);
    score_batch(
        call.batch, [&](const GeneTree& tree) { return scorer.score(tree, call.origination); },
        [&](std::size_t, double value) { total += value; });
    return total;
}

std::vector<double> undated_family_loglik(UndatedLikelihoodCall call) {
    const UndatedExtinction model = undated_model_of(call);
    std::vector<double> values(tree_count(call.batch));
    UndatedScorer scorer(model);
    score_batch(
        call.batch, [&](const GeneTree& tree) { return scorer.score(tree, call.origination); },
        [&](std::size_t k, double value) { values[k] = value; });
    return values;
}

namespace {

// One value per family of a clade-graph batch, in order.
template <class Scorer>
std::vector<double> score_families(Scorer& scorer, const CladeBatch& batch,
                                   std::uint8_t origination) {
    std::vector<double> values(family_count(batch));
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k] = scorer.score_clades(cut_family(batch, k), origination);
    }
    return values;
}

}  // namespace

DatedExtinction build_dated_model(DatedCladeCall& call) { return dated_model_of(call); }

UndatedExtinction build_undated_model(UndatedCladeCall& call) { return undated_model_of(call); }

namespace {

// Every clade but the tips has one split, of weight 1: a rooted tree.
bool is_one_tree(const CladeFamily& family) {
    for (std::size_t c = 0; c < family.size(); ++c) {
        if (family.is_tip(c)) continue;
        const std::size_t begin = family.split_begin[c];
        if (family.split_begin[c + 1] - begin != 1 || family.split_weight[begin] != 1.0) {
            return false;
        }
    }
    return true;
}

// The mean size of one node's vectors of a slice (doubles).
double mean_slice_doubles(const DatedExtinction& model) {
    std::size_t slices = 0;
    for (const TimeSlice& slice : model.slices) slices += slice.width() > 0 ? 1 : 0;
    return slices == 0 ? 0.0 : static_cast<double>(model.trajectory_size) / static_cast<double>(slices);
}

}  // namespace

std::vector<double> dated_clade_loglik(DatedCladeCall call, double pieces_above) {
    const DatedExtinction model = dated_model_of(call);
    DatedScorer scorer(model);
    const bool cut = std::any_of(model.slices.begin(), model.slices.end(), [](const TimeSlice& s) {
        return s.steps > kDatedPieceSteps && s.width() > 0;
    });
    // Built for the first family scored in pieces.
    std::unique_ptr<DatedExtinction> pieces;
    std::unique_ptr<DatedScorer> piece_scorer;
    std::vector<double> values(family_count(call.batch));
    const double slice_bytes = mean_slice_doubles(model) * static_cast<double>(sizeof(double));
    for (std::size_t k = 0; k < values.size(); ++k) {
        const CladeFamily family = cut_family(call.batch, k);
        // The graph has a node for each clade and each split at most, so a
        // small family is not planned twice.
        const std::size_t nodes = family.size() + (family.split_begin.back() - family.split_begin.front());
        bool in_pieces = cut && static_cast<double>(nodes) * slice_bytes > pieces_above &&
                         !is_one_tree(family);
        if (in_pieces) {
            const double held = static_cast<double>(scorer.planned_slots(family)) * slice_bytes;
            in_pieces = held > pieces_above;
        }
        if (in_pieces) {
            if (!piece_scorer) {
                pieces = std::make_unique<DatedExtinction>(dated_in_pieces(model, kDatedPieceSteps));
                piece_scorer = std::make_unique<DatedScorer>(*pieces);
            }
            values[k] = piece_scorer->score_clades(family, call.origination);
        } else {
            values[k] = scorer.score_clades(family, call.origination);
        }
    }
    return values;
}

std::vector<double> undated_clade_loglik(UndatedCladeCall call) {
    const UndatedExtinction model = undated_model_of(call);
    UndatedScorer scorer(model);
    return score_families(scorer, call.batch, call.origination);
}

}  // namespace korvath::reconciliation
