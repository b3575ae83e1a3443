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

// The descent step by step as written in words: a plain Fenwick array with a
// bounds test and a branch per level.
struct LiteralFenwick {
    std::vector<double> weights, tree;
    explicit LiteralFenwick(std::size_t n) : weights(n, 0.0), tree(n + 1, 0.0) {}
    void set(std::size_t i, double w) {
        const double diff = w - weights[i];
        if (diff == 0.0) return;
        weights[i] = w;
        for (std::size_t j = i + 1; j <= weights.size(); j += j & (~j + 1)) tree[j] += diff;
    }
    std::size_t pick(double target) const {
        const std::size_t n = weights.size();
        std::size_t h = 0;
        std::size_t s = 1;
        while (s * 2 <= n) s *= 2;
        for (; s > 0; s /= 2) {
            if (h + s <= n && target > tree[h + s]) {
                target -= tree[h + s];
                h += s;
            }
        }
        return h;
    }
};

// Real-valued rates that rise, fall and return to 0 leave rounded partial
// sums behind; the pick must take exactly the literal descent's path on them,
// including targets at and just past the total.
TEST(RateTree, PickFollowsTheLiteralDescentUnderRoundedSums) {
    Rng rng = Rng::from_seed(2024);
    for (std::size_t n : {1u, 2u, 3u, 4u, 5u, 16u, 17u, 63u, 64u, 65u, 129u, 1999u}) {
        RateTree rates(n);
        LiteralFenwick literal(n);
        for (int round = 0; round < 4000; ++round) {
            const std::size_t i = rng.index_below(n);
            const double w = rng.index_below(4) == 0 ? 0.0 : 3.2 * rng.next_f64() * 1000.0 + 10.0;
            rates.set(i, w);
            literal.set(i, w);
            const double total = rates.total();
            if (!(total > 0.0)) continue;
            for (const double target : {rng.pick_target(total), total, std::nextafter(total, 1e300),
                                        std::nextafter(0.0, 1.0)}) {
                ASSERT_EQ(rates.pick(target), literal.pick(target)) << "n=" << n << " round=" << round;
            }
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
