#include "likelihood_test_trees.h"

#include "reconciliation/likelihood_drivers.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace korvath::reconciliation {
namespace {

using testing::batch_of;
using testing::cherry;
using testing::TreeSpec;

DatedLikelihoodCall dated_call(FlatSpeciesTree sp, GeneTreeBatch batch, DtlRates rates,
                               std::uint64_t n_steps, std::uint8_t origination) {
    return {std::move(sp), std::move(batch), rates, n_steps, origination};
}

UndatedLikelihoodCall undated_call(FlatSpeciesTree sp, GeneTreeBatch batch, DtlRates rates,
                                   std::uint8_t transfers, std::uint8_t origination) {
    return {std::move(sp), std::move(batch), rates, transfers, origination};
}

TEST(LikelihoodDrivers, JointWorkedExamples) {
    const GeneTreeBatch one_tip = batch_of({testing::single_tip(0)});
    const double dated = dated_joint_loglik(dated_call(cherry(), one_tip, {0, 0, 1}, 1, 0), 1);
    EXPECT_NEAR(dated, -2.2919027015, 1e-10);
    EXPECT_EQ(dated, (std::log(0.68359375 * 0.68359375) + 0.0) + std::log(0.2162933349609375));
    const double undated = undated_joint_loglik(undated_call(cherry(), one_tip, {0, 0, 1}, 0, 0), 1);
    EXPECT_NEAR(undated, -2.5494451709, 1e-10);
}

TEST(LikelihoodDrivers, FaultInALaterTreeEndsTheCall) {
    GeneTreeBatch batch = batch_of({testing::single_tip(0), testing::single_tip(1),
                                    {{0, 1, 1}, {1, -1, -1}, {2, -1, -1}, {-1, 0, 1}}});
    EXPECT_THROW(dated_family_loglik(dated_call(cherry(), batch, {0.1, 0.1, 0.1}, 2, 0)), InternalFault);
    EXPECT_THROW(undated_joint_loglik(undated_call(cherry(), batch, {0.1, 0.1, 0.1}, 0, 0), 0),
                 InternalFault);
}

TEST(GeneTreeBatch, CutsByOffsetsAndChecksEachRange) {
    GeneTreeBatch batch;
    batch.gt_offsets = {2, 5};
    batch.gt_is_leaf = {0, 0, 1, 1, 0};
    batch.gt_left = {9, 9, -1, -1, 0};
    batch.gt_right = {9, 9, -1, -1, 1};
    batch.gt_species = {9, 9, 0, 1, -1};
    ASSERT_EQ(tree_count(batch), 1u);
    const GeneTree tree = cut_tree(batch, 0);
    EXPECT_EQ(tree.size(), 3u);
    EXPECT_EQ(tree.species[1], 1);
    EXPECT_EQ(tree.left[2], 0);
    EXPECT_EQ(tree_count(GeneTreeBatch{}), 0u);

    batch.gt_offsets = {2, 5, 4};
    EXPECT_NO_THROW(cut_tree(batch, 0));
    EXPECT_THROW(cut_tree(batch, 1), InternalFault);  // decreasing
    batch.gt_offsets = {0, 6};
    EXPECT_THROW(cut_tree(batch, 0), InternalFault);  // past the arrays
    batch.gt_offsets = {0, 5};
    batch.gt_species.pop_back();
    EXPECT_THROW(cut_tree(batch, 0), InternalFault);  // one array shorter
}

std::string shape_fault(const TreeSpec& tree) {
    try {
        cut_tree(batch_of({tree}), 0);
    } catch (const InternalFault& e) {
        return e.what();
    }
    return "";
}

TEST(GeneTreeBatch, EveryNodeButTheRootHasExactlyOneParent) {
    // Fields: is_leaf, left, right, species.
    EXPECT_EQ(shape_fault({{1, 1, 0}, {-1, -1, 0}, {-1, -1, 1}, {0, 1, -1}}), "");
    EXPECT_EQ(shape_fault(testing::single_tip(0)), "");
    // Node 2 names node 0 twice; node 1 is nobody's child.
    EXPECT_NE(shape_fault({{1, 1, 0}, {-1, -1, 0}, {-1, -1, 0}, {0, 1, -1}})
                  .find("gene node 2 names node 0 as both of its children"),
              std::string::npos);
    // Node 0 is a child of nodes 2 and 3.
    EXPECT_NE(shape_fault({{1, 1, 0, 0}, {-1, -1, 0, 2}, {-1, -1, 1, 0}, {0, 1, -1, -1}})
                  .find("gene node 0 is a child of both node 2 and node 3"),
              std::string::npos);
    // Two tips and no internal node: node 0 is an orphan, node 1 the root.
    EXPECT_NE(shape_fault({{1, 1}, {-1, -1}, {-1, -1}, {0, 1}})
                  .find("gene node 0 is the child of no node but is not the root"),
              std::string::npos);
    // Children of tips are never read, whatever they hold.
    EXPECT_EQ(shape_fault({{1, 1, 0}, {7, 0, 0}, {-9, 0, 1}, {0, 1, -1}}), "");
    // A child not processed before its parent is still named as such.
    EXPECT_NE(shape_fault({{0, 1, 1}, {1, -1, -1}, {2, -1, -1}, {-1, 0, 1}}).find("post-order"),
              std::string::npos);
}

}  // namespace
}  // namespace korvath::reconciliation
