#include "likelihood_test_trees.h"

#include "reconciliation/clade_graph.h"
#include "reconciliation/dated_scorer.h"
#include "reconciliation/undated_scorer.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korvath::reconciliation {
namespace {

using testing::cherry;
using testing::undated_model;

// One family: tips 0 and 1 on species 0 and 1, the root clade 2 with the given splits.
CladeBatch cherry_family(std::vector<std::int64_t> left, std::vector<std::int64_t> right,
                         std::vector<double> weight) {
    CladeBatch batch;
    batch.cl_offsets = {0, 3};
    batch.cl_is_leaf = {1, 1, 0};
    batch.cl_species = {0, 1, -1};
    batch.cl_split_offsets = {0, 0, 0, left.size()};
    batch.split_left = std::move(left);
    batch.split_right = std::move(right);
    batch.split_weight = std::move(weight);
    return batch;
}

TEST(CladeGraph, RootedTreeScoresAsTheTreeAndWeightsAreLinear) {
    for (std::uint8_t transfers : {0, 1}) {
        const UndatedExtinction model = undated_model(cherry(), {0.3, 0.2, 0.4}, transfers);
        UndatedScorer scorer(model);
        const GeneTreeBatch genes = testing::batch_of({testing::gene_cherry(0, 1)});
        for (std::uint8_t origination : {0, 1}) {
            const double tree = scorer.score(cut_tree(genes, 0), origination);
            const double one = scorer.score_clades(cut_family(cherry_family({0}, {1}, {1.0}), 0),
                                                   origination);
            EXPECT_EQ(one, tree);
            // The same split twice with weights 0.25 and 0.75 is the split once.
            const double halves = scorer.score_clades(
                cut_family(cherry_family({0, 0}, {1, 1}, {0.25, 0.75}), 0), origination);
            EXPECT_NEAR(halves, tree, 1e-14);
            // Weight w multiplies the likelihood by w.
            const double tenth = scorer.score_clades(
                cut_family(cherry_family({0}, {1}, {0.1}), 0), origination);
            EXPECT_NEAR(tenth, tree + std::log(0.1), 1e-14);
        }
    }
}

TEST(CladeGraph, DatedSumsOfSplitsAreLinearInTheirWeights) {
    const DatedExtinction model = testing::dated_model(cherry(), {0.3, 0.2, 0.4}, 4);
    DatedScorer scorer(model);
    const GeneTreeBatch genes = testing::batch_of({testing::gene_cherry(0, 1)});
    for (std::uint8_t origination : {0, 1}) {
        const double tree = scorer.score(cut_tree(genes, 0), origination);
        EXPECT_EQ(scorer.score_clades(cut_family(cherry_family({0}, {1}, {1.0}), 0), origination),
                  tree);
        const double halves = scorer.score_clades(
            cut_family(cherry_family({0, 1}, {1, 0}, {0.25, 0.75}), 0), origination);
        EXPECT_NEAR(halves, tree, 1e-14);
        const double tenth =
            scorer.score_clades(cut_family(cherry_family({0}, {1}, {0.1}), 0), origination);
        EXPECT_NEAR(tenth, tree + std::log(0.1), 1e-14);
    }
}

TEST(CladeGraph, MalformedFamiliesAreFaults) {
    auto fails = [](CladeBatch batch) {
        EXPECT_THROW(cut_family(batch, 0), InternalFault);
    };
    fails(cherry_family({0}, {2}, {1.0}));   // a split into itself
    fails(cherry_family({0}, {-1}, {1.0}));  // a split into no clade
    fails(cherry_family({}, {}, {}));        // an inner clade without a split
    CladeBatch short_offsets = cherry_family({0}, {1}, {1.0});
    short_offsets.cl_split_offsets.pop_back();
    fails(short_offsets);
    CladeBatch past_the_splits = cherry_family({0}, {1}, {1.0});
    past_the_splits.cl_split_offsets.back() = 5;
    fails(past_the_splits);
    CladeBatch decreasing = cherry_family({0}, {1}, {1.0});
    decreasing.cl_split_offsets = {0, 1, 0, 1};
    fails(decreasing);
    CladeBatch empty = cherry_family({0}, {1}, {1.0});
    empty.cl_offsets = {0, 0};
    fails(empty);
    EXPECT_NO_THROW(cut_family(cherry_family({0}, {1}, {1.0}), 0));
}

}  // namespace
}  // namespace korvath::reconciliation
