#include "foundations_test_util.h"
#include "simulation/branch_pick.h"
#include "simulation/rate_tree.h"
#include "simulation/rng.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korvath {
namespace {

TEST(Rng, SeedZeroReferenceValues) {
    Rng rng = Rng::from_seed(0);
    EXPECT_EQ(rng.state(0), 0xe220a8397b1dcdafULL);
    EXPECT_EQ(rng.next_u64(), 0x99ec5f36cb75f2b4ULL);
}

TEST(Rng, DerivedDrawsConsumeOneWordEach) {
    Rng rng = Rng::from_seed(42);
    Rng reference = rng;
    const std::uint64_t word = reference.next_u64();
    EXPECT_EQ(rng.index_below(1), 0u);
    EXPECT_EQ(testing::draws_between(Rng::from_seed(42), rng), 1);

    rng = Rng::from_seed(42);
    EXPECT_EQ(rng.next_f64(), static_cast<double>(word >> 11) * 0x1.0p-53);
    rng = Rng::from_seed(42);
    const double u = static_cast<double>(word >> 11) * 0x1.0p-53;
    EXPECT_EQ(rng.pick_target(3.0), 3.0 * (1.0 - u));
    rng = Rng::from_seed(42);
    EXPECT_EQ(rng.scaled_uniform(3.0), u * 3.0);
    rng = Rng::from_seed(42);
    EXPECT_EQ(rng.waiting_time(2.0), -std::log(1.0 - u) / 2.0);
    rng = Rng::from_seed(42);
    EXPECT_EQ(rng.index_below_skipping(5, 2), word % 4 >= 2 ? word % 4 + 1 : word % 4);
}

TEST(Rng, ChanceDrawsOnlyForPositiveProbability) {
    Rng rng = Rng::from_seed(7);
    EXPECT_FALSE(rng.chance(0.0));
    EXPECT_FALSE(rng.chance(-1.0));
    EXPECT_EQ(testing::draws_between(Rng::from_seed(7), rng), 0);
    EXPECT_TRUE(rng.chance(1.0));
    EXPECT_EQ(testing::draws_between(Rng::from_seed(7), rng), 1);
}

TEST(Rng, ZeroBoundsAreFaults) {
    Rng rng = Rng::from_seed(1);
    EXPECT_THROW(rng.index_below(0), InternalFault);
    EXPECT_THROW(rng.index_below_skipping(1, 0), InternalFault);
}

TEST(Rng, SeedChangesFirstDraw) {
    EXPECT_NE(Rng::from_seed(1).next_u64(), Rng::from_seed(2).next_u64());
}

TEST(RateTree, PicksFollowNodeIndexOrder) {
    RateTree rates(3);
    rates.set(0, 1.0);
    rates.set(2, 2.0);
    EXPECT_EQ(rates.total(), 3.0);
    EXPECT_EQ(rates.pick(0.5), 0u);
    EXPECT_EQ(rates.pick(1.0), 0u);
    EXPECT_EQ(rates.pick(1.5), 2u);
    EXPECT_EQ(rates.pick(3.0), 2u);
    EXPECT_EQ(rates.pick(3.5), 3u);  // past the end: names no node
}

TEST(RateTree, SettingTheSameRateLeavesTotalUnchanged) {
    RateTree rates(5);
    rates.set(1, 0.1);
    rates.set(3, 0.2);
    rates.set(1, 0.7);
    const double before = rates.total();
    rates.set(3, 0.2);
    EXPECT_EQ(rates.total(), before);
    rates.set(1, 0.0);
    rates.set(3, 0.0);
    // The running total keeps the rounding of the differences it summed.
    EXPECT_EQ(rates.total(), ((0.1 + 0.2) + (0.7 - 0.1)) + (0.0 - 0.7) + (0.0 - 0.2));
}

TEST(RateTree, PickMatchesLinearScanOnManySizes) {
    Rng rng = Rng::from_seed(99);
    for (std::size_t n : {1u, 2u, 3u, 7u, 8u, 9u, 33u, 100u}) {
        RateTree rates(n);
        std::vector<double> w(n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            if (rng.index_below(3) != 0) w[i] = static_cast<double>(1 + rng.index_below(4));
            rates.set(i, w[i]);
        }
        double total = 0.0;
        for (double x : w) total += x;
        for (double target = 0.5; target <= total; target += 0.5) {
            std::size_t expect = 0;
            double low = 0.0;
            while (expect < n && !(target <= low + w[expect])) low += w[expect++];
            EXPECT_EQ(rates.pick(target), expect) << "n=" << n << " target=" << target;
            EXPECT_GT(w[rates.pick(target)], 0.0);
        }
    }
}

TEST(BranchPick, NormalPicksAreUnchangedAndStraysFallBack) {
    RateTree rates(4);
    rates.set(1, 1.0);
    rates.set(2, 2.0);
    EXPECT_EQ(pick_branch(rates, 0.5), 1u);
    EXPECT_EQ(pick_branch(rates, 3.0), 2u);
    EXPECT_EQ(pick_branch(rates, 3.0000001), 2u);  // past the end: last positive branch
    RateTree empty(3);
    EXPECT_EQ(pick_branch(empty, 1.0), kNoBranch);
    // A stray onto a zero-rate node goes to the nearest positive range.
    EXPECT_EQ(nearest_positive_branch(rates, 0.0), 1u);
}

}  // namespace
}  // namespace korvath
