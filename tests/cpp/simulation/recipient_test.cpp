#include "foundations_test_util.h"
#include "simulation/recipient.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korvath {
namespace {

// Root 0; node 1 (date 0.5) has leaves 3 and 4; node 2 (date 0.3) has leaves 5 and 6.
SpeciesTree balanced_tree() {
    return testing::make_tree({-1, 0, 0, 1, 1, 2, 2}, {0.0, 0.5, 0.3, 1.0, 1.0, 1.0, 1.0},
                              {0, 0, 0, 1, 1, 1, 1}, 0);
}

ActiveBranches active_of(std::initializer_list<std::uint32_t> nodes) {
    ActiveBranches active(7);
    for (auto v : nodes) active.append(v);
    return active;
}

TransferOptions options(double decay, bool allow_self) {
    TransferOptions o;
    o.distance_decay = decay;
    o.allow_self = allow_self;
    return o;
}

TEST(Recipient, NoCandidateDrawsNothing) {
    const SpeciesTree tree = balanced_tree();
    RecipientScratch scratch;
    for (double decay : {-1.0, 0.0, 3.0}) {
        Rng rng = Rng::from_seed(5);
        EXPECT_EQ(choose_recipient(rng, active_of({}), 3, tree, 0.6, options(decay, true), scratch),
                  kNoRecipient);
        EXPECT_EQ(choose_recipient(rng, active_of({3}), 3, tree, 0.6, options(decay, false), scratch),
                  kNoRecipient);
        EXPECT_EQ(testing::draws_between(Rng::from_seed(5), rng), 0);
    }
}

TEST(Recipient, LoneDonorWithSelfAllowedReceivesAfterOneDraw) {
    const SpeciesTree tree = balanced_tree();
    RecipientScratch scratch;
    for (double decay : {-1.0, 0.0, 3.0}) {
        Rng rng = Rng::from_seed(5);
        EXPECT_EQ(choose_recipient(rng, active_of({3}), 3, tree, 0.6, options(decay, true), scratch),
                  3u);
        EXPECT_EQ(testing::draws_between(Rng::from_seed(5), rng), 1);
    }
}

TEST(Recipient, UniformPathsUseRemainders) {
    const SpeciesTree tree = balanced_tree();
    RecipientScratch scratch;
    for (std::uint64_t seed = 0; seed < 50; ++seed) {
        const std::uint64_t word = Rng::from_seed(seed).next_u64();
        Rng rng = Rng::from_seed(seed);
        // Donor at position 0 of three: v = 0 gives entry 1, v = 1 gives entry 2.
        const auto active = active_of({4, 5, 6});
        const std::uint32_t r = choose_recipient(rng, active, 4, tree, 0.6, options(-1, false), scratch);
        EXPECT_EQ(r, active[word % 2 + 1]);
        EXPECT_EQ(testing::draws_between(Rng::from_seed(seed), rng), 1);

        rng = Rng::from_seed(seed);
        const auto four = active_of({3, 4, 5, 6});
        EXPECT_EQ(choose_recipient(rng, four, 5, tree, 0.6, options(-1, true), scratch),
                  four[word % 4]);
    }
}

TEST(Recipient, ZeroDecayExcludesDonorThroughScaledDraw) {
    const SpeciesTree tree = balanced_tree();
    RecipientScratch scratch;
    const auto active = active_of({3, 4, 5, 6});
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        const double u = Rng::from_seed(seed).next_f64();
        Rng rng = Rng::from_seed(seed);
        const std::uint32_t r = choose_recipient(rng, active, 5, tree, 0.6, options(0.0, false), scratch);
        EXPECT_NE(r, 5u);
        // Weights 1, 1, 0, 1: the target 3u falls in the unit slot of its index.
        double target = 3.0 * u;
        std::uint32_t expect = 6;
        for (std::uint32_t b : {3u, 4u, 5u, 6u}) {
            target -= (b == 5 ? 0.0 : 1.0);
            if (target <= 0.0) { expect = b; break; }
        }
        EXPECT_EQ(r, expect);
        EXPECT_EQ(testing::draws_between(Rng::from_seed(seed), rng), 1);
    }
}

TEST(Recipient, WeightsDecayWithDistanceToTheDonor) {
    const SpeciesTree tree = balanced_tree();
    RecipientScratch scratch;
    const auto active = active_of({6, 3, 5, 4});
    // From donor 3 at t = 0.6: sister 4 at distance 0.2, 5 and 6 at 1.2, itself at 0.
    for (std::uint64_t seed = 0; seed < 100; ++seed) {
        const double u = Rng::from_seed(seed).next_f64();
        const double far = std::exp(-2.0 * (((0.6 - 0.0) + (0.6 - 0.0)) - 0.0));
        const double near = std::exp(-2.0 * (((0.6 - 0.5) + (0.6 - 0.5)) - 0.0));
        const double w[4] = {far, 1.0, far, near};
        double sum = 0.0;
        for (double x : w) sum += x;
        double target = sum * u;
        std::uint32_t expect = 4;
        for (int i = 0; i < 4; ++i) {
            target -= w[i];
            if (target <= 0.0) { expect = active[i]; break; }
        }
        Rng rng = Rng::from_seed(seed);
        EXPECT_EQ(choose_recipient(rng, active, 3, tree, 0.6, options(2.0, true), scratch), expect);
    }
    // A large decay concentrates the choice on the sister lineage.
    for (std::uint64_t seed = 0; seed < 100; ++seed) {
        Rng rng = Rng::from_seed(seed);
        EXPECT_EQ(choose_recipient(rng, active, 3, tree, 0.6, options(100.0, false), scratch), 4u);
    }
}

}  // namespace
}  // namespace korvath
