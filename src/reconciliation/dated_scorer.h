// Dated gene-tree likelihood: for every gene node, in local post-order, the
// probability P that one copy on a species branch at a given time yields the
// node's observed subtree, integrated backwards over the model's slices and
// steps. Each node keeps its per-step history until its parent has used it.
#pragma once

#include "reconciliation/dated_extinction.h"
#include "reconciliation/likelihood_input.h"
#include "reconciliation/scaled_vectors.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace korvath::reconciliation {

// Scores trees one after another against one model. Per-tree state is
// dropped after each tree; the history buffers are recycled between nodes
// and trees so that the working set stays near the number of subtrees
// waiting for their parent. Up to four nodes whose children are done are
// integrated side by side (lowest indices first, close to post-order): the
// in-order sums their steps need are chains of dependent additions, and
// independent nodes' chains overlap.
class DatedScorer {
public:
    explicit DatedScorer(const DatedExtinction& model);
    ~DatedScorer();
    DatedScorer(const DatedScorer&) = delete;
    DatedScorer& operator=(const DatedScorer&) = delete;

    // ln L of the tree; origination 1 starts the family uniformly on any
    // branch, any other value at the root speciation. -inf when L <= 0.
    double score(const GeneTree& tree, std::uint8_t origination);

private:
    struct History;
    std::unique_ptr<History> acquire();
    void recycle(std::unique_ptr<History> history);
    void check_tree(const GeneTree& tree);
    void process_group(const GeneTree& tree, const std::size_t* nodes, std::size_t count);
    ScaledValue root_probability(const GeneTree& tree, std::uint8_t origination) const;

    const DatedExtinction& model_;
    std::vector<std::unique_ptr<History>> spare_;
    std::size_t allocated_ = 0;
    // Per tree: P at the top of every branch for every node, and the history
    // of the nodes still waiting for their parent.
    std::vector<double> p_top_;
    std::vector<std::unique_ptr<History>> waiting_;
    // Node g's p_top and history stand for their values times 2^exponent_[g].
    std::vector<std::int64_t> exponent_;
    // Per tree: each node's parent (or none) and its children not yet done.
    std::vector<std::size_t> parent_;
    std::vector<std::uint8_t> missing_;
};

// Convenience form scoring a single tree.
double dated_tree_loglik(const DatedExtinction& model, const GeneTree& tree,
                         std::uint8_t origination);

}  // namespace korvath::reconciliation
