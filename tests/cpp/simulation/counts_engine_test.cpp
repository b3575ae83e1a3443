#include "simulation/counts_engine.h"
#include "simulation/counts_engine_impl.h"

#include "counts_test_support.h"
#include "foundations_test_util.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace korvath {
namespace {

using testing::LinearStore;
using testing::random_tree;

SimParams rates(double dup, double transfer, double loss, double origination,
                std::uint64_t initial_size, std::int64_t cap = -1, std::uint64_t seed = 1) {
    SimParams p;
    p.duplication = dup;
    p.transfer = transfer;
    p.loss = loss;
    p.origination = origination;
    p.initial_size = initial_size;
    p.cap = cap;
    p.seed = seed;
    return p;
}

// Root 0 at date 0 with children 1 and 2; 2 has children 3 and 4. Leaves 1, 3, 4 extant at 1.
SpeciesTreeArrays small_tree() {
    SpeciesTreeArrays t;
    t.n_nodes = 5;
    t.parent = {-1, 0, 0, 2, 2};
    t.time = {0.0, 1.0, 0.4, 1.0, 1.0};
    t.extant_leaf = {0, 1, 0, 1, 1};
    t.root = 0;
    return t;
}

struct Row {
    std::uint32_t leaf;
    std::uint64_t family;
    std::uint32_t count;
    bool operator==(const Row&) const = default;
};

std::vector<Row> rows_of(const ProfileRows& r) {
    std::vector<Row> out;
    for (std::size_t i = 0; i < r.size(); ++i) out.push_back({r.leaf[i], r.family[i], r.count[i]});
    return out;
}

TEST(CountsEngine, WithoutEventsEveryExtantLeafShowsTheFounders) {
    const SpeciesTree tree(small_tree());
    const ProfileRows rows = simulate_counts(tree, rates(0, 0, 0, 0, 3));
    EXPECT_EQ(rows.events, 0u);
    EXPECT_EQ(rows.n_families, 3u);
    // Processing order: 2 (0.4), then 1, 3, 4 at date 1.
    const std::vector<Row> expected = {{0, 0, 1}, {0, 1, 1}, {0, 2, 1}, {1, 0, 1}, {1, 1, 1},
                                       {1, 2, 1}, {2, 0, 1}, {2, 1, 1}, {2, 2, 1}};
    EXPECT_EQ(rows_of(rows), expected);
    EXPECT_EQ(extant_leaf_list(tree), (std::vector<std::uint32_t>{1, 3, 4}));
}

TEST(CountsEngine, NoFoundersAndNoOriginationGiveNoRows) {
    const SpeciesTree tree(small_tree());
    const ProfileRows rows = simulate_counts(tree, rates(1, 1, 1, 0, 0));
    EXPECT_EQ(rows.size(), 0u);
    EXPECT_EQ(rows.n_families, 0u);
    EXPECT_EQ(rows.events, 0u);
}

TEST(CountsEngine, EveryChildOfANodeReceivesTheContent) {
    // Root 0 has three children (1, 2, 3); node 2 has one child (4); node 3
    // has children 5, 6 and 7, of which 7 is an extinct leaf.
    SpeciesTreeArrays t;
    t.n_nodes = 8;
    t.parent = {-1, 0, 0, 0, 2, 3, 3, 3};
    t.time = {0.0, 1.0, 0.3, 0.5, 1.0, 1.0, 1.0, 0.7};
    t.extant_leaf = {0, 1, 0, 0, 1, 1, 1, 0};
    t.root = 0;
    const SpeciesTree tree(std::move(t));
    const ProfileRows rows = simulate_counts(tree, rates(0, 0, 0, 0, 2));
    // Extant leaves in processing order: 1, 4, 5, 6 (all at date 1).
    ASSERT_EQ(rows.size(), 8u);
    for (std::uint32_t k = 0; k < 4; ++k) {
        EXPECT_EQ(rows.leaf[2 * k], k);
        EXPECT_EQ(rows.family[2 * k], 0u);
        EXPECT_EQ(rows.family[2 * k + 1], 1u);
    }
}

TEST(CountsEngine, AnExtantLeafWithChildrenFaultsWhenAChildIsReached) {
    SpeciesTreeArrays t = small_tree();
    t.extant_leaf[2] = 1;  // node 2 has children 3 and 4
    EXPECT_THROW(
        {
            const SpeciesTree tree(std::move(t));
            simulate_counts(tree, rates(0, 0, 0, 0, 1));
        },
        InternalFault);
}

TEST(CountsEngine, RunawayRunStopsWithTheEventLimitMessage) {
    const SpeciesTree tree(small_tree());
    try {
        simulate_counts(tree, rates(5, 0, 0, 0, 10), 1000);
        FAIL() << "the run should have passed its event limit";
    } catch (const RunawayError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "exceeded max_events; families likely growing without bound \u2014 set "
                  "max_family_size");
    }
    // The same run under a limit it does not reach completes.
    const ProfileRows rows = simulate_counts(tree, rates(0.5, 0, 0, 0, 10), 1000);
    EXPECT_LE(rows.events, 1000u);
}

// The copy pick in O(log F) must choose exactly the family that the walk in
// ascending id chooses, so whole runs over both stores must agree bit for bit:
// same rows, same event count, same number of families.
TEST(CountsEngine, RunsMatchTheLinearWalkOracle) {
    const double decays[] = {-1.0, 0.0, 2.0};
    const std::int64_t caps[] = {-1, 0, 1, 3};
    const double replacements[] = {0.0, 0.5, 1.0};
    for (std::uint64_t seed = 1; seed <= 36; ++seed) {
        Rng shape = Rng::from_seed(seed * 7919);
        const SpeciesTree tree(random_tree(shape, 3 + static_cast<std::size_t>(shape.index_below(60))));
        SimParams p = rates(0.2 + shape.next_f64(), shape.next_f64() * 1.5, 0.3 + shape.next_f64(),
                            shape.next_f64() * 3, shape.index_below(40), caps[seed % 4], seed);
        p.options.distance_decay = decays[seed % 3];
        p.options.allow_self = (seed / 3) % 2 == 0;
        p.options.replacement = replacements[(seed / 6) % 3];
        const ProfileRows fast = simulate_counts(tree, p);
        const ProfileRows slow = CountsRun<LinearStore>(tree, p, kCountsMaxEvents).run();
        ASSERT_EQ(fast.events, slow.events) << "seed " << seed;
        ASSERT_EQ(fast.n_families, slow.n_families) << "seed " << seed;
        ASSERT_EQ(rows_of(fast), rows_of(slow)) << "seed " << seed;
    }
}

// A wide, busy run where branches hold hundreds of families, so that the sum
// tree has several levels, tombstones are compacted and ids are inserted in
// the middle of a branch's order.
TEST(CountsEngine, BusyRunMatchesTheLinearWalkOracle) {
    Rng shape = Rng::from_seed(2024);
    const SpeciesTree tree(random_tree(shape, 80));
    // Near-critical growth, then fast decline (families die, tombstones pile up).
    for (const SimParams& p : {rates(1.0, 1.0, 1.2, 10.0, 300, -1, 5),
                               rates(0.3, 1.0, 2.5, 20.0, 300, -1, 6)}) {
        const ProfileRows fast = simulate_counts(tree, p);
        const ProfileRows slow = CountsRun<LinearStore>(tree, p, kCountsMaxEvents).run();
        ASSERT_GT(fast.events, 5000u);
        ASSERT_EQ(fast.events, slow.events);
        ASSERT_EQ(rows_of(fast), rows_of(slow));
    }
}

TEST(CountsEngine, CapsBoundEveryLeafCount) {
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
        Rng shape = Rng::from_seed(seed);
        const SpeciesTree tree(random_tree(shape, 40));
        for (std::int64_t cap : {0, 1, 2}) {
            const ProfileRows r = simulate_counts(tree, rates(2.0, 1.0, 0.5, 1.0, 5, cap, seed));
            for (std::uint32_t c : r.count) {
                // Cap 0 still lets a family arise by origination with one copy.
                EXPECT_LE(c, static_cast<std::uint32_t>(std::max<std::int64_t>(cap, 1)))
                    << "seed " << seed << " cap " << cap;
            }
        }
    }
}

TEST(CountsEngine, FullReplacementKeepsTransferredFamiliesAtOneCopy) {
    // Transfers only: an arriving copy either founds the family on the
    // recipient or replaces the resident copy, so no count ever exceeds 1.
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
        Rng shape = Rng::from_seed(seed + 100);
        const SpeciesTree tree(random_tree(shape, 40));
        SimParams p = rates(0, 3.0, 0, 0, 6, -1, seed);
        p.options.replacement = 1.0;
        const ProfileRows r = simulate_counts(tree, p);
        EXPECT_GT(r.events, 0u);
        for (std::uint32_t c : r.count) EXPECT_EQ(c, 1u) << "seed " << seed;
        // Without replacement, counts above 1 appear.
        p.options.replacement = 0.0;
        const ProfileRows free = simulate_counts(tree, p);
        std::uint32_t largest = 0;
        for (std::uint32_t c : free.count) largest = std::max(largest, c);
        if (seed == 1) {
            EXPECT_GT(largest, 1u);
        }
    }
}

TEST(CountsEngine, SameInputsGiveTheSameRowsAndASeedChangesThem) {
    Rng shape = Rng::from_seed(3);
    const SpeciesTree tree(random_tree(shape, 50));
    const SimParams p = rates(0.8, 0.6, 1.0, 2.0, 20, -1, 77);
    const ProfileRows a = simulate_counts(tree, p);
    const ProfileRows b = simulate_counts(tree, p);
    EXPECT_EQ(rows_of(a), rows_of(b));
    SimParams q = p;
    q.seed = 78;
    EXPECT_NE(rows_of(a), rows_of(simulate_counts(tree, q)));
}

TEST(CountsEngine, MergeShiftsFamiliesByEarlierRuns) {
    ProfileRows a, b;
    a.append(0, 1, 2);
    a.append(1, 0, 1);
    a.n_families = 3;
    b.append(0, 0, 4);
    b.append(1, 2, 1);
    b.n_families = 5;
    const ProfileTable table = merge_profile_rows({7, 9}, {a, b});
    EXPECT_EQ(table.extant_leaves, (std::vector<std::uint32_t>{7, 9}));
    EXPECT_EQ(table.leaf, (std::vector<std::uint32_t>{0, 1, 0, 1}));
    EXPECT_EQ(table.family, (std::vector<std::uint64_t>{1, 0, 3, 5}));
    EXPECT_EQ(table.count, (std::vector<std::uint32_t>{2, 1, 4, 1}));
    const ProfileTable single = merge_profile_rows({}, {b});
    EXPECT_EQ(single.family, (std::vector<std::uint64_t>{0, 2}));
}

TEST(CountsEngine, MergeRejectsAFamilyTheRunNeverHandedOut) {
    ProfileRows a;
    a.append(0, 3, 1);  // family 3 of a run that handed out ids 0 .. 2
    a.n_families = 3;
    EXPECT_THROW(merge_profile_rows({7}, {a}), InternalFault);
    ProfileRows uneven = a;
    uneven.count.pop_back();
    EXPECT_THROW(merge_profile_rows({7}, {uneven}), InternalFault);
}

TEST(CountsEngine, RunsSharingAnArenaGiveTheRowsOfRunsWithTheirOwn) {
    // Runs one after another on one arena reuse the blocks the earlier runs
    // gave back; what a run draws must not depend on that.
    CopyArena shared;
    Rng shapes = Rng::from_seed(17);
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        const SpeciesTree tree(random_tree(shapes, 40 + 10 * seed));
        const SimParams p = rates(1.0, 1.0, 1.2, 2.0, 30 + 20 * seed, -1, seed);
        EXPECT_EQ(rows_of(simulate_counts(tree, p, kCountsMaxEvents, &shared)),
                  rows_of(simulate_counts(tree, p)))
            << "seed " << seed;
    }
}

}  // namespace
}  // namespace korvath
