#include "likelihood_test_trees.h"

#include "reconciliation/clade_graph.h"
#include "reconciliation/dated_scorer.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <limits>

namespace korvath::reconciliation {
namespace {

using testing::batch_of;
using testing::cherry;
using testing::dated_model;

constexpr double kInf = std::numeric_limits<double>::infinity();

double score(const DatedExtinction& model, const testing::TreeSpec& spec, std::uint8_t origination) {
    const GeneTreeBatch batch = batch_of({spec});
    return dated_tree_loglik(model, cut_tree(batch, 0), origination);
}

TEST(DatedExtinction, CherryWorkedExample) {
    const DatedExtinction model = dated_model(cherry(), {0.0, 0.0, 1.0}, 1);
    ASSERT_EQ(model.slices.size(), 1u);
    const TimeSlice& slice = model.slices[0];
    EXPECT_EQ(slice.branches, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(slice.steps, 4u);
    EXPECT_EQ(slice.dt, 0.25);
    EXPECT_EQ(slice.t_end, 1.0);
    const double expected[] = {0.0, 0.25, 0.4375, 0.578125, 0.68359375};
    for (std::size_t j = 0; j <= 4; ++j) {
        EXPECT_EQ(slice.e_step(j)[0], expected[j]) << "step " << j;
        EXPECT_EQ(slice.e_step(j)[1], expected[j]) << "step " << j;
    }
    EXPECT_EQ(model.e_top, (std::vector<double>{0.68359375, 0.68359375, 0.0}));
}

TEST(DatedExtinction, SliceOfManyExpectedEventsIsIntegratedInPiecesOfTheSameSteps) {
    // 100 expected losses per lineage over the cherry's one interval: 400
    // steps of 1/400, in pieces of at most 64 / (dt R) = 256 steps, the piece
    // at the later boundary holding the tips' ends.
    const DatedExtinction model = dated_model(cherry(), {0.0, 0.0, 100.0}, 1);
    ASSERT_EQ(model.slices.size(), 2u);
    const TimeSlice& early = model.slices[0];
    const TimeSlice& late = model.slices[1];
    EXPECT_EQ(late.steps, 256u);
    EXPECT_EQ(early.steps, 144u);
    EXPECT_EQ(late.dt, 1.0 / 400.0);
    EXPECT_EQ(early.dt, late.dt);
    EXPECT_EQ(late.t_end, 1.0);
    EXPECT_EQ(late.ends.size(), 2u);
    EXPECT_TRUE(early.ends.empty());
    EXPECT_EQ(early.branches, late.branches);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(late.e_step(0)[k], 0.0);
        // The earlier piece goes on from where the later one stopped.
        EXPECT_EQ(early.e_step(0)[k], late.e_step(256)[k]);
        EXPECT_EQ(model.e_top[k], early.e_step(144)[k]);
    }
    EXPECT_EQ(model.trajectory_offset, (std::vector<std::size_t>{0, 145 * 2}));
    // At most 64 expected events: one slice, as before.
    EXPECT_EQ(dated_model(cherry(), {0.0, 0.0, 64.0}, 1).slices.size(), 1u);
}

TEST(DatedExtinction, ZeroRatesAndZeroStepsTakeNoStep) {
    const DatedExtinction model = dated_model(cherry(), {0.0, 0.0, 0.0}, 0);
    EXPECT_EQ(model.slices[0].steps, 0u);
    EXPECT_EQ(model.e_top, (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(DatedExtinction, GridMergesNearlyEqualTimesAndBothBranchesEndThere) {
    FlatSpeciesTree sp = cherry();
    sp.sp_time[1] = 1.0 + 4e-13;
    const DatedExtinction model = dated_model(sp, {0.1, 0.2, 0.3}, 2);
    ASSERT_EQ(model.slices.size(), 1u);
    EXPECT_EQ(model.slices[0].ends.size(), 2u);
}

TEST(DatedExtinction, ZeroLengthDaughterLeavesParentEndAtZero) {
    // Root 4 at 0 splits into 3 (at 0.5) and tip 2; 3 splits into tip 0 and
    // tip 1, which has no length. Parent times are not grid points.
    FlatSpeciesTree sp;
    sp.sp_parent = {3, 3, 4, 4, -1};
    sp.sp_left = {-1, -1, -1, 0, 3};
    sp.sp_right = {-1, -1, -1, 1, 2};
    sp.sp_is_leaf = {1, 1, 1, 0, 0};
    sp.sp_time = {1.0, 0.5, 1.0, 0.5, 0.0};
    sp.sp_parent_time = {0.5, 0.5, 0.0, 0.0, -1.0};
    sp.sp_root = 4;
    const DatedExtinction model = dated_model(sp, {0.0, 0.0, 1.0}, 1);
    ASSERT_EQ(model.slices.size(), 2u);
    EXPECT_EQ(model.slices[1].branches, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(model.slices[0].branches, (std::vector<std::size_t>{2, 3}));
    EXPECT_GT(model.e_top[0], 0.0);
    EXPECT_EQ(model.e_top[1], 0.0);
    EXPECT_EQ(model.slices[0].e_step(0)[1], 0.0);  // branch 3 starts from E0 * E1 = 0
    EXPECT_EQ(model.e_top[4], 0.0);                // the stem lies before the grid
}

TEST(DatedExtinction, AliveBranchesMatchThePerSliceTestsOnRandomTimes) {
    const std::uint64_t seed = 31337;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    // Times on a coarse lattice, some nudged by less than the tolerance.
    auto draw = [&] {
        const double t = static_cast<double>(rng() % 9) * 0.25 - 0.5;
        return t + static_cast<double>(static_cast<int>(rng() % 5) - 2) * 4e-10;
    };
    for (int round = 0; round < 50; ++round) {
        FlatSpeciesTree sp;
        const std::size_t n = 1 + rng() % 12;
        for (std::size_t i = 0; i < n; ++i) {
            const double a = draw();
            const double b = draw();
            sp.sp_parent.push_back(-1);
            sp.sp_left.push_back(-1);
            sp.sp_right.push_back(-1);
            sp.sp_is_leaf.push_back(1);
            sp.sp_time.push_back(std::max(a, b));
            sp.sp_parent_time.push_back(std::min(a, b));
        }
        const FlatSpeciesTree copy = sp;
        const DatedExtinction model = dated_model(std::move(sp), {0.1, 0.1, 0.1}, 1);
        std::vector<double> grid = copy.sp_time;
        for (double& t : grid) t = std::round(t * 1e12) / 1e12;
        grid.push_back(0.0);
        std::sort(grid.begin(), grid.end());
        grid.erase(std::unique(grid.begin(), grid.end()), grid.end());
        ASSERT_EQ(model.slices.size(), grid.size() - 1);
        for (std::size_t s = 0; s + 1 < grid.size(); ++s) {
            std::vector<std::size_t> alive;
            for (std::size_t i = 0; i < n; ++i) {
                if (copy.sp_parent_time[i] <= grid[s] + 1e-9 &&
                    copy.sp_time[i] >= grid[s + 1] - 1e-9 &&
                    copy.sp_time[i] - copy.sp_parent_time[i] > 1e-9) {
                    alive.push_back(i);
                }
            }
            EXPECT_EQ(model.slices[s].branches, alive) << "round " << round << " slice " << s;
        }
    }
}

TEST(DatedExtinction, FaultsOnMalformedSpeciesTrees) {
    {
        FlatSpeciesTree sp = cherry();
        sp.sp_time.pop_back();
        EXPECT_THROW(dated_model(sp, {0.1, 0.1, 0.1}, 1), InternalFault);
    }
    {
        FlatSpeciesTree sp = cherry();
        sp.sp_right[2] = 3;  // child outside the tree, read where branch 2 ends
        sp.sp_time = {1.0, 1.0, 0.5};
        sp.sp_parent_time = {0.5, 0.5, 0.0};
        EXPECT_THROW(dated_model(sp, {0.1, 0.1, 0.1}, 1), InternalFault);
    }
    {
        FlatSpeciesTree sp = cherry();
        sp.sp_time[0] = std::nan("");
        EXPECT_THROW(dated_model(sp, {0.1, 0.1, 0.1}, 1), InternalFault);
    }
}

TEST(DatedExtinction, SaturatedOrAbsurdStepCountsAreFaults) {
    EXPECT_THROW(dated_model(cherry(), {0.1, 0.1, 0.1}, std::numeric_limits<std::uint64_t>::max()),
                 InternalFault);
    EXPECT_THROW(dated_model(cherry(), {1e300, 0.1, 0.1}, 1), InternalFault);
    EXPECT_THROW(dated_model(cherry(), {kInf, 0.0, 0.0}, 1), InternalFault);
    EXPECT_THROW(dated_model(cherry(), {0.1, 0.1, 0.1}, std::uint64_t{1} << 40), InternalFault);
}

TEST(DatedScorer, TipWorkedExample) {
    const DatedExtinction model = dated_model(cherry(), {0.0, 0.0, 1.0}, 1);
    // P of the tip on branch 0 is 0.75^4; root mode pairs it with E of branch 1.
    const double l = 0.68359375 * 0.31640625;
    EXPECT_EQ(l, 0.2162933349609375);
    EXPECT_NEAR(score(model, testing::single_tip(0), 0), -1.5311197604, 1e-10);
    EXPECT_EQ(score(model, testing::single_tip(0), 0), std::log(l));
    EXPECT_EQ(score(model, testing::single_tip(0), 2), std::log(l));
    // Uniform: mean over the two branches with length, 0.31640625 and 0.
    EXPECT_EQ(score(model, testing::single_tip(0), 1), std::log(0.31640625 / 2.0));
}

TEST(DatedScorer, ZeroRatesKeepTipsOnTheirBranches) {
    const DatedExtinction model = dated_model(cherry(), {0.0, 0.0, 0.0}, 3);
    EXPECT_EQ(score(model, testing::gene_cherry(0, 1), 0), 0.0);
    EXPECT_EQ(score(model, testing::gene_cherry(1, 0), 0), 0.0);
    EXPECT_EQ(score(model, testing::gene_cherry(0, 0), 0), -kInf);
    EXPECT_EQ(score(model, testing::gene_cherry(0, 2), 0), -kInf);   // internal species
    EXPECT_EQ(score(model, testing::gene_cherry(0, -1), 0), -kInf);  // no species
}

TEST(DatedScorer, ChildHistoryServesOneParentOnly) {
    const DatedExtinction model = dated_model(cherry(), {0.1, 0.1, 0.1}, 2);
    // Node 3 names node 0, already consumed by node 2.
    EXPECT_THROW(score(model, {{1, 1, 0, 0}, {-1, -1, 0, 0}, {-1, -1, 1, 2}, {0, 1, -1, -1}}, 0),
                 InternalFault);
    // Both children the same node counts that node twice (and leaves another
    // node orphaned): a malformed tree, not a likelihood.
    EXPECT_THROW(score(model, {{1, 0}, {-1, 0}, {-1, 0}, {0, -1}}, 0), InternalFault);
}

// Two copies of one subtree over every species tip: each tip shares its
// node with its copy, held from the first copy to the second, unless the
// working set would pass the limit, where each tip keeps its own node. The
// values are the same either way.
TEST(DatedScorer, SharedTipsGiveWayWhenTheyHoldMoreSlots) {
    const testing::RandomTrees trees = testing::random_trees(5, 40, 0, 0);
    const DatedExtinction model = dated_model(trees.species, {0.3, 0.2, 0.4}, 2);
    testing::TreeSpec tree;
    auto add = [&](std::uint8_t leaf, std::int64_t l, std::int64_t r, std::int64_t sp) {
        tree.is_leaf.push_back(leaf);
        tree.left.push_back(l);
        tree.right.push_back(r);
        tree.species.push_back(sp);
        return static_cast<std::int64_t>(tree.is_leaf.size()) - 1;
    };
    std::vector<std::int64_t> tips;
    for (std::size_t i = 0; i < trees.species.sp_is_leaf.size(); ++i) {
        if (trees.species.sp_is_leaf[i]) tips.push_back(static_cast<std::int64_t>(i));
    }
    auto copy = [&]() {  // a caterpillar over the species tips
        std::int64_t top = add(1, -1, -1, tips[0]);
        for (std::size_t i = 1; i < tips.size(); ++i) top = add(0, top, add(1, -1, -1, tips[i]), -1);
        return top;
    };
    const std::int64_t first = copy();
    add(0, first, copy(), -1);
    const GeneTreeBatch batch = batch_of({tree});
    DatedScorer scorer(model);
    const double shared = scorer.score(cut_tree(batch, 0), 0);
    const std::size_t shared_slots = scorer.slots();
    scorer.limit_shared_tips(0);
    const double apart = scorer.score(cut_tree(batch, 0), 0);
    EXPECT_EQ(apart, shared);
    EXPECT_TRUE(std::isfinite(shared));
    EXPECT_GT(shared_slots, tips.size());
    EXPECT_LT(scorer.slots(), shared_slots);
}

TEST(DatedScorer, RootModeNeedsAnInternalRoot) {
    FlatSpeciesTree sp = cherry();
    sp.sp_root = 0;
    const DatedExtinction tip_root = dated_model(sp, {0.1, 0.1, 0.1}, 2);
    EXPECT_THROW(score(tip_root, testing::single_tip(0), 0), InternalFault);
    EXPECT_NO_THROW(score(tip_root, testing::single_tip(0), 1));
    sp.sp_root = 3;
    const DatedExtinction outside = dated_model(sp, {0.1, 0.1, 0.1}, 2);
    EXPECT_THROW(score(outside, testing::single_tip(0), 0), InternalFault);
}

TEST(DatedScorer, ReusedScorerMatchesFreshOnesOnRandomTrees) {
    const std::uint64_t seed = 9001;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const testing::RandomTrees trees = testing::random_trees(seed, 12, 6, 10);
    const DatedExtinction model = dated_model(trees.species, {0.3, 0.4, 0.5}, 3);
    const GeneTreeBatch batch = batch_of(trees.genes);
    DatedScorer reused(model);
    for (std::size_t k = 0; k < trees.genes.size(); ++k) {
        for (std::uint8_t origination : {0, 1}) {
            const double fresh = dated_tree_loglik(model, cut_tree(batch, k), origination);
            EXPECT_EQ(reused.score(cut_tree(batch, k), origination), fresh);
            EXPECT_TRUE(std::isfinite(fresh));
            EXPECT_LT(fresh, 0.0);
        }
    }
}

// A gene tree (children before parents) as a one-family clade graph. Each
// internal node picked by `merge` whose left child is internal, (a1 a2) b,
// gains the second split a1 (a2 b), with a new clade for (a2 b): the
// weights 0.5 and 0.5 make the node a weighted sum of two splits.
CladeBatch tree_family(const testing::TreeSpec& tree, const std::vector<bool>& merge) {
    testing::FamilyBuilder family;
    std::vector<std::int64_t> index(tree.is_leaf.size(), -1);
    auto add = [&](std::uint8_t leaf, std::int64_t species,
                   std::vector<testing::FamilyBuilder::Split> s) {
        return family.add(leaf, species, std::move(s));
    };
    for (std::size_t g = 0; g < tree.is_leaf.size(); ++g) {
        if (tree.is_leaf[g]) {
            index[g] = add(1, tree.species[g], {});
            continue;
        }
        const auto l = static_cast<std::size_t>(tree.left[g]);
        const std::int64_t a = index[l];
        const std::int64_t b = index[static_cast<std::size_t>(tree.right[g])];
        const bool last = g + 1 == tree.is_leaf.size();
        if (merge[g] && !last && !tree.is_leaf[l]) {
            const std::int64_t a1 = index[static_cast<std::size_t>(tree.left[l])];
            const std::int64_t a2 = index[static_cast<std::size_t>(tree.right[l])];
            const std::int64_t x = add(0, -1, {{a2, b}});
            index[g] = add(0, -1, {{a, b}, {a1, x}});
        } else {
            index[g] = add(0, -1, {{a, b}});
        }
    }
    return family.batch([](std::size_t count, bool) { return count == 1 ? 1.0 : 0.5; });
}

// Slice by slice a node holds its tops in slice order, node by node one per
// branch; slice by slice the tips on one branch are one node, node by node
// each tip is its own. The two must give the same bits, on species trees
// with extinct lineages, a stem, a daughter of zero length and times that
// nearly agree.
TEST(DatedScorer, SliceBySliceMatchesNodeByNodeOnRandomTrees) {
    std::size_t finite = 0;
    std::size_t scored = 0;
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        // Large gene trees take their vectors through rescaling.
        const std::size_t gene_tips = seed % 4 == 0 ? 150 : 3 + seed % 9;
        testing::RandomTrees trees = testing::random_trees(seed, 3 + seed % 7, 4, gene_tips);
        FlatSpeciesTree& sp = trees.species;
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        // Small gene trees: one tip of zero length and one shorter than the
        // grid's tolerance (genes there have probability 0); large ones
        // only extinct tips.
        std::size_t short_tips = gene_tips < 150 ? 2 : 0;
        for (std::size_t i = 0; i < sp.sp_time.size(); ++i) {
            if (!sp.sp_is_leaf[i]) continue;
            const double start = sp.sp_parent_time[i];
            const double pick = unit(rng);
            if (pick < 0.3) {
                sp.sp_time[i] = start + (1.0 - start) * unit(rng);
            } else if (pick < 0.5 && short_tips > 0) {
                sp.sp_time[i] = start + (short_tips == 2 ? 0.0 : 1e-10);
                --short_tips;
            }
        }
        const DatedExtinction model =
            dated_model(sp, {0.2 + 0.1 * static_cast<double>(seed % 3), 0.4, 0.3},
                        gene_tips == 150 ? 12 : 1 + seed % 4);
        DatedScorer scorer(model);
        const GeneTreeBatch batch = batch_of(trees.genes);
        for (std::size_t k = 0; k < trees.genes.size(); ++k) {
            std::vector<bool> merge(trees.genes[k].is_leaf.size());
            for (std::size_t g = 0; g < merge.size(); ++g) merge[g] = k % 2 == 1 && rng() % 2 == 0;
            const CladeBatch family = tree_family(trees.genes[k], merge);
            for (std::uint8_t origination : {0, 1}) {
                const double slices = scorer.score_clades(cut_family(family, 0), origination);
                const double nodes = scorer.solve_clades(cut_family(family, 0), origination);
                scorer.release();
                EXPECT_EQ(slices, nodes);
                // A gene on a tip of no length has probability 0, and so can
                // a tree when one Euler step spans a whole slice.
                finite += std::isfinite(slices) ? 1 : 0;
                ++scored;
                if (k % 2 == 0) {
                    EXPECT_EQ(scorer.score(cut_tree(batch, k), origination), slices);
                }
            }
        }
    }
    EXPECT_GT(finite, scored / 2);
}

}  // namespace
}  // namespace korvath::reconciliation
