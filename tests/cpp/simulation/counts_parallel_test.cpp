#include "simulation/parallel_profiles.h"

#include "simulation/counts_engine.h"
#include "simulation/rng.h"
#include "simulation/dated_tree.h"

#include "counts_test_support.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvath {
namespace {

// A root with two extant leaves at date 1.
SpeciesTreeArrays two_leaf_tree() {
    SpeciesTreeArrays t;
    t.n_nodes = 3;
    t.parent = {-1, 0, 0};
    t.time = {0.0, 1.0, 1.0};
    t.extant_leaf = {0, 1, 1};
    return t;
}

using testing::random_tree;

void expect_same_table(const ProfileTable& a, const ProfileTable& b, const std::string& what) {
    EXPECT_EQ(a.extant_leaves, b.extant_leaves) << what;
    EXPECT_EQ(a.leaf, b.leaf) << what;
    EXPECT_EQ(a.family, b.family) << what;
    EXPECT_EQ(a.count, b.count) << what;
}

TEST(CountsParallel, CopiesSplitTheFoundersAndTakeSuccessiveSeeds) {
    const std::vector<CopyPlan> plans = plan_copies(42, 10, 4);
    ASSERT_EQ(plans.size(), 4u);
    EXPECT_EQ(plans[0].founders, 3u);
    EXPECT_EQ(plans[1].founders, 3u);
    EXPECT_EQ(plans[2].founders, 2u);
    EXPECT_EQ(plans[3].founders, 2u);
    // The generator's own seeding takes the first four outputs of the same
    // SplitMix64 stream, so they must be the first four copy seeds.
    const Rng stream = Rng::from_seed(42);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(plans[i].seed, stream.state(i));

    const std::vector<CopyPlan> single = plan_copies(42, 7, 0);  // 0 copies mean 1
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].founders, 7u);
    EXPECT_EQ(single[0].seed, stream.state(0));

    const std::vector<CopyPlan> sparse = plan_copies(1, 2, 5);
    EXPECT_EQ(sparse[1].founders, 1u);
    EXPECT_EQ(sparse[2].founders, 0u);
    EXPECT_EQ(sparse[4].founders, 0u);
}

TEST(CountsParallel, WithoutEventsTheBlocksListTheFoundersOfEachCopy) {
    const SpeciesTreeArrays t = two_leaf_tree();
    SimParams p;
    p.initial_size = 10;
    const ProfileTable table = simulate_profiles_parallel(t, p, 4, 2);
    EXPECT_EQ(table.extant_leaves, (std::vector<std::uint32_t>{1, 2}));
    // Blocks in copy order, each grouped by leaf: copy 0 holds families 0-2,
    // copy 1 3-5, copy 2 6-7, copy 3 8-9.
    const std::vector<std::uint64_t> families = {0, 1, 2, 0, 1, 2, 3, 4, 5, 3, 4, 5,
                                                 6, 7, 6, 7, 8, 9, 8, 9};
    const std::vector<std::uint32_t> leaves = {0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 1, 1,
                                               0, 0, 1, 1, 0, 0, 1, 1};
    EXPECT_EQ(table.family, families);
    EXPECT_EQ(table.leaf, leaves);
    EXPECT_EQ(table.count, std::vector<std::uint32_t>(20, 1));
}

// The parallel result is the merge of the serial runs of the planned copies,
// whatever the number of threads.
TEST(CountsParallel, ResultIsTheMergeOfTheCopiesForAnyThreadCount) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        Rng shape = Rng::from_seed(seed * 31);
        const SpeciesTreeArrays arrays = random_tree(shape, 30 + 10 * seed);
        SimParams p;
        p.duplication = 0.7;
        p.transfer = 0.9;
        p.loss = 1.0;
        p.origination = 3.0;
        p.initial_size = 11;
        p.seed = seed;
        p.options.distance_decay = seed % 2 == 0 ? 1.0 : -1.0;
        const std::uint64_t n_copies = 1 + seed;

        const SpeciesTree tree{SpeciesTreeArrays(arrays)};
        std::vector<ProfileRows> parts;
        for (const CopyPlan& plan : plan_copies(seed, p.initial_size, n_copies)) {
            SimParams copy = p;
            copy.seed = plan.seed;
            copy.initial_size = plan.founders;
            copy.origination = p.origination / static_cast<double>(n_copies);
            parts.push_back(simulate_counts(tree, copy));
        }
        const ProfileTable expected = merge_profile_rows(extant_leaf_list(tree), parts);

        for (std::uint64_t threads : {0u, 1u, 2u, 3u, 9u}) {
            expect_same_table(simulate_profiles_parallel(arrays, p, n_copies, threads), expected,
                              "seed " + std::to_string(seed) + ", " + std::to_string(threads) +
                                  " threads");
        }
    }
}

TEST(CountsParallel, ACopyPassingTheEventLimitFailsTheCall) {
    const SpeciesTreeArrays t = two_leaf_tree();
    SimParams p;
    p.duplication = 5.0;
    p.initial_size = 40;
    for (std::uint64_t threads : {1u, 2u}) {
        try {
            simulate_profiles_parallel(t, p, 8, threads, 500);
            FAIL() << "expected the event limit to stop a copy";
        } catch (const RunawayError& error) {
            EXPECT_EQ(std::string(error.what()), kCountsRunawayMessage);
        }
    }
}

TEST(CountsParallel, InconsistentInputIsAnInternalFault) {
    SpeciesTreeArrays t = two_leaf_tree();
    t.parent[2] = 5;  // parent outside the tree
    EXPECT_THROW(simulate_profiles_parallel(t, SimParams{}, 2, 2), InternalFault);
}

}  // namespace
}  // namespace korvath
