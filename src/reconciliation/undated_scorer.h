// Undated and reldated gene-tree likelihood: per gene node, one probability
// per species branch, the fixed point of the same per-event equations as the
// extinction, with a constant source term from the node's children.
#pragma once

#include "reconciliation/clade_graph.h"
#include "reconciliation/likelihood_input.h"
#include "reconciliation/undated_model.h"

#include <cstdint>
#include <vector>

namespace korvath::reconciliation {

class SplitSources;

// Scores trees one after another against one model. A gene tip's vector
// depends only on its species, so it is computed once per species and kept
// for the following trees (up to a fixed memory budget).
class UndatedScorer {
public:
    explicit UndatedScorer(const UndatedExtinction& model);

    // ln L of the tree; origination 1 averages over all branches, any other
    // value starts at the species root. -inf when L <= 0.
    double score(const GeneTree& tree, std::uint8_t origination);

    // ln L of a family given as a clade graph: each clade's probabilities
    // solve the gene-node equation with the weighted sum of its splits'
    // terms as the constant term. A rooted tree as a clade graph (one split
    // of weight 1 per internal node) scores exactly as `score`.
    double score_clades(const CladeFamily& family, std::uint8_t origination);

    // Every clade's probabilities, as `score_clades` computes them: clade c's
    // entry for branch z is probability[c * n + z] * 2^exponent[c].
    struct CladeTable {
        std::vector<double> probability;
        std::vector<std::int64_t> exponent;
    };
    CladeTable solve_clades(const CladeFamily& family);

    // ln L from the root clade's stored vector and its exponent.
    double root_loglik(const double* p_root, std::int64_t exponent,
                       std::uint8_t origination) const;

private:
    // The constant term of clade c from its weighted splits, in the scale
    // of its largest split; returns the clade's exponent.
    std::int64_t clade_source(const CladeFamily& family, std::size_t c, const double* probability,
                              const std::int64_t* exponent, double* source,
                              std::vector<double>& split_source, SplitSources* fast) const;
    struct TipVector {
        std::vector<double> p;
        std::int64_t exponent = 0;
    };
    const TipVector& tip_vector(std::size_t species, TipVector& scratch);

    const UndatedExtinction& model_;
    std::vector<TipVector> tips_;  // by species; empty until first needed
    std::size_t cached_doubles_ = 0;
};

// Convenience form scoring a single tree.
double undated_tree_loglik(const UndatedExtinction& model, const GeneTree& tree,
                           std::uint8_t origination);

}  // namespace korvath::reconciliation
