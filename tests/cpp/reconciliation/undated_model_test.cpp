#include "likelihood_test_trees.h"

#include "reconciliation/undated_scorer.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korvath::reconciliation {
namespace {

using testing::batch_of;
using testing::cherry;
using testing::undated_model;

double score(const UndatedExtinction& model, const testing::TreeSpec& spec,
             std::uint8_t origination) {
    const GeneTreeBatch batch = batch_of({spec});
    return undated_tree_loglik(model, cut_tree(batch, 0), origination);
}

TEST(UndatedModel, CherryWorkedExample) {
    for (std::uint8_t transfers : {0, 1}) {
        const UndatedExtinction model = undated_model(cherry(), {0.0, 0.0, 1.0}, transfers);
        EXPECT_EQ(model.p_speciation, 0.5);
        EXPECT_EQ(model.extinction, (std::vector<double>{0.5, 0.5, 0.625}));
        EXPECT_EQ(score(model, testing::single_tip(0), 0), std::log(0.125));
        EXPECT_NEAR(score(model, testing::single_tip(0), 0), -2.0794415417, 1e-10);
        EXPECT_EQ(score(model, testing::single_tip(0), 1), std::log(0.625 / 3.0));
        EXPECT_NEAR(score(model, testing::single_tip(0), 5), -2.0794415417, 1e-10);
    }
}

TEST(UndatedModel, ZeroRatesPlaceEachTipOnItsBranch) {
    const UndatedExtinction model = undated_model(cherry(), {0.0, 0.0, 0.0}, 0);
    EXPECT_EQ(model.extinction, (std::vector<double>{0.0, 0.0, 0.0}));
    EXPECT_EQ(score(model, testing::gene_cherry(0, 1), 0), 0.0);
    // A tip on an internal branch is accepted.
    EXPECT_EQ(score(model, testing::single_tip(2), 0), 0.0);
}

TEST(UndatedModel, RecipientsAreBranchesWithOverlappingSpans) {
    // Root 4 (stem from -1) over 3 (0..0.5, children tips 0 and 1) and tip 2.
    const std::vector<double> time = {1.0, 1.0, 1.0, 0.5, 0.0};
    const std::vector<double> parent_time = {0.5, 0.5, 0.0, 0.0, -1.0};
    const RecipientSets sets = build_recipients(time, parent_time, 5);
    auto members = [&](std::size_t b) {
        const auto span = sets.of(b);
        return std::vector<std::size_t>(span.begin(), span.end());
    };
    EXPECT_EQ(members(0), (std::vector<std::size_t>{1, 2}));  // sister and cousin, not parent 3
    EXPECT_EQ(members(3), (std::vector<std::size_t>{2}));
    EXPECT_EQ(members(4), (std::vector<std::size_t>{}));      // touches its children only at 0
}

TEST(UndatedModel, SingleBranchHasNoOtherBranches) {
    FlatSpeciesTree sp;
    sp.sp_left = {-1};
    sp.sp_right = {-1};
    sp.sp_is_leaf = {1};
    sp.sp_time = {1.0};
    sp.sp_parent_time = {0.0};
    for (std::uint8_t transfers : {0, 1}) {
        const UndatedExtinction model = undated_model(sp, {0.5, 0.5, 0.5}, transfers);
        // E = p_loss + p_dup E^2 with g = 2.5: the smaller root of 0.2 E^2 - E + 0.2.
        EXPECT_NEAR(model.extinction[0], (1.0 - std::sqrt(1.0 - 0.16)) / 0.4, 1e-12);
        EXPECT_TRUE(std::isfinite(score(model, testing::single_tip(0), 0)));
    }
}

TEST(UndatedModel, NodeTimesAreReadOnlyForReldatedMode) {
    FlatSpeciesTree sp = cherry();
    sp.sp_parent_time.pop_back();
    EXPECT_NO_THROW(undated_model(sp, {0.1, 0.1, 0.1}, 0));
    EXPECT_THROW(undated_model(sp, {0.1, 0.1, 0.1}, 1), InternalFault);
}

TEST(UndatedModel, WithoutTransfersBothModesAgreeOnRandomTrees) {
    const std::uint64_t seed = 4242;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const testing::RandomTrees trees = testing::random_trees(seed, 15, 5, 12);
    const UndatedExtinction undated = undated_model(trees.species, {0.3, 0.0, 0.4}, 0);
    const UndatedExtinction reldated = undated_model(trees.species, {0.3, 0.0, 0.4}, 1);
    const UndatedExtinction with_transfer = undated_model(trees.species, {0.3, 0.3, 0.4}, 1);
    EXPECT_EQ(undated.extinction, reldated.extinction);
    for (const auto& gene : trees.genes) {
        for (std::uint8_t origination : {0, 1}) {
            EXPECT_EQ(score(undated, gene, origination), score(reldated, gene, origination));
            EXPECT_TRUE(std::isfinite(score(with_transfer, gene, origination)));
        }
    }
}

TEST(UndatedModel, SweepOrderPutsEveryBranchAfterItsDaughters) {
    // Root 0 first: the caller's numbering need not be post-order.
    FlatSpeciesTree sp;
    sp.sp_left = {1, -1, 3, -1, -1};
    sp.sp_right = {2, -1, 4, -1, -1};
    sp.sp_is_leaf = {0, 1, 0, 1, 1};
    const UndatedExtinction model = undated_model(sp, {0.2, 0.2, 0.3}, 0);
    ASSERT_TRUE(model.children_first);
    EXPECT_TRUE(model.direct);
    std::vector<std::size_t> position(5);
    for (std::size_t i = 0; i < 5; ++i) position[model.sweep_order[i]] = i;
    EXPECT_LT(position[3], position[2]);
    EXPECT_LT(position[4], position[2]);
    EXPECT_LT(position[1], position[0]);
    EXPECT_LT(position[2], position[0]);

    // Daughter links in a cycle: index order, and the iterative solve.
    sp.sp_left = {1, -1, 0, -1, -1};
    const UndatedExtinction cyclic = undated_model(sp, {0.2, 0.2, 0.3}, 0);
    EXPECT_FALSE(cyclic.children_first);
    EXPECT_FALSE(cyclic.direct);
    EXPECT_EQ(cyclic.sweep_order, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

TEST(UndatedModel, OverlapIndexGivesExactlyTheRecipientLists) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const testing::RandomTrees trees = testing::random_trees(seed, 30, 1, 3);
        const auto& sp = trees.species;
        const std::size_t n = sp.sp_left.size();
        const RecipientSets sets = build_recipients(sp.sp_time, sp.sp_parent_time, n);
        const OverlapIndex index = build_overlap_index(sp.sp_time, sp.sp_parent_time, sets, n);
        ASSERT_TRUE(index.valid);
        for (std::size_t a = 0; a < n; ++a) {
            EXPECT_EQ(index.count[a], static_cast<double>(sets.of(a).size()));
        }
    }
    // Two branches that overlap by less than the tolerance share an elementary interval:
    // the index refuses itself and the lists are used.
    const std::vector<double> time = {1.0, 1.0, 0.5, 0.5 + 1e-12, 0.0};
    const std::vector<double> parent_time = {0.5 + 1e-12, 0.5, 0.0, 0.0, 0.0};
    const RecipientSets sets = build_recipients(time, parent_time, 5);
    EXPECT_FALSE(build_overlap_index(time, parent_time, sets, 5).valid);
    // A time that is not finite also leaves the lists in charge.
    const std::vector<double> with_nan = {1.0, 1.0, 0.5, std::nan(""), 0.0};
    const RecipientSets nan_sets = build_recipients(with_nan, parent_time, 5);
    EXPECT_FALSE(build_overlap_index(with_nan, parent_time, nan_sets, 5).valid);
}

}  // namespace
}  // namespace korvath::reconciliation
