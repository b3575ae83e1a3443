#include "simulation/nucleotide_engine.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace korvath {
namespace {

// Root 0 with a single branch to the extant leaf 1, dated `height`.
SpeciesTreeArrays one_branch(double height) {
    SpeciesTreeArrays tree;
    tree.n_nodes = 2;
    tree.parent = {-1, 0};
    tree.time = {0.0, height};
    tree.extant_leaf = {0, 1};
    tree.root = 0;
    return tree;
}

// ((1:1, 2:1)3:... written by node: 0 root at 0; 3 internal at 0.5; 1, 2 leaves at 1;
// 4 a leaf at 1 directly below the root.
SpeciesTreeArrays small_tree() {
    SpeciesTreeArrays tree;
    tree.n_nodes = 5;
    tree.parent = {-1, 3, 3, 0, 0};
    tree.time = {0.0, 1.0, 1.0, 0.5, 1.0};
    tree.extant_leaf = {0, 1, 1, 0, 1};
    tree.root = 0;
    return tree;
}

NucleotideParams founders(std::uint64_t elements, std::int64_t length) {
    NucleotideParams params;
    params.initial_size = elements;
    params.root_length = length;
    params.options.distance_decay = -1.0;
    return params;
}

bool same_state(const Rng& a, const Rng& b) {
    for (int i = 0; i < 4; ++i) {
        if (a.state(i) != b.state(i)) return false;
    }
    return true;
}

TEST(DrawExtent, ShortGenomesAndWholeGenomeExtensionsDrawNothing) {
    Rng rng = Rng::from_seed(5);
    const Rng before = rng;
    EXPECT_EQ(draw_extent(rng, 1, 0.5), 1);
    EXPECT_EQ(draw_extent(rng, 0, 0.5), 1);
    EXPECT_EQ(draw_extent(rng, 40, 1.0), 40);
    EXPECT_EQ(draw_extent(rng, 40, 7.5), 40);
    EXPECT_TRUE(same_state(rng, before));
}

TEST(DrawExtent, FollowsTheCeilingOfTheLogRatioExactly) {
    for (const double extension : {0.3, 0.5, 0.9, 0.999}) {
        Rng rng = Rng::from_seed(11);
        Rng mirror = Rng::from_seed(11);
        for (int i = 0; i < 1000; ++i) {
            const double u = std::max(mirror.next_f64(), 1e-300);
            const double k = std::ceil(std::log(u) / std::log((extension - 1.0) + 1.0));
            const std::int64_t expected = std::clamp<std::int64_t>(static_cast<std::int64_t>(k), 1, 50);
            ASSERT_EQ(draw_extent(rng, 50, extension), expected) << extension << " draw " << i;
        }
    }
    // Extension 0, negative or NaN: one draw each, always length 1.
    for (const double extension : {0.0, -2.0, std::nan("")}) {
        Rng rng = Rng::from_seed(3);
        Rng mirror = Rng::from_seed(3);
        EXPECT_EQ(draw_extent(rng, 50, extension), 1);
        mirror.next_f64();
        EXPECT_TRUE(same_state(rng, mirror));
    }
}

TEST(DrawExtent, IsGeometricWithTheGivenContinuation) {
    // Mean 1 / (1 - extension) = 10 and P(k = 1) = 0.1, far from the cap.
    Rng rng = Rng::from_seed(2024);
    const int n = 200000;
    double sum = 0.0;
    int ones = 0;
    for (int i = 0; i < n; ++i) {
        const std::int64_t k = draw_extent(rng, 1'000'000, 0.9);
        sum += static_cast<double>(k);
        ones += k == 1;
    }
    const double mean = sum / n;
    const double sd_of_mean = std::sqrt(0.9 / (0.1 * 0.1) / n);  // variance ext / (1-ext)^2
    EXPECT_NEAR(mean, 10.0, 5 * sd_of_mean);
    EXPECT_NEAR(ones / double(n), 0.1, 5 * std::sqrt(0.1 * 0.9 / n));
}

TEST(NucleotideEngine, EventLimitStopsTheRun) {
    NucleotideParams params = founders(1, 100);
    params.inversion = 1.0;
    params.max_events = 50;
    try {
        simulate_nucleotide(one_branch(10.0), params);
        FAIL() << "the run should stop";
    } catch (const RunawayError& error) {
        EXPECT_STREQ(error.what(),
                     "exceeded max_events; genome growing without bound \xE2\x80\x94 lower "
                     "duplication/transfer or raise loss");
    }
    params.max_events = 100000;
    std::uint64_t events = 0;
    simulate_nucleotide(one_branch(10.0), params, &events);
    EXPECT_GT(events, 50u);
}

TEST(NucleotideEngine, LengthBeyondTheSignedRangeIsRunawayGrowth) {
    NucleotideParams params = founders(1, std::int64_t{1} << 62);
    params.duplication = 1.0;
    params.extension = 1.0;  // every duplication doubles the genome
    EXPECT_THROW(simulate_nucleotide(one_branch(1.0), params), RunawayError);

    NucleotideParams too_many = founders(4, std::int64_t{1} << 62);
    EXPECT_THROW(simulate_nucleotide(one_branch(1.0), too_many), RunawayError);
}

TEST(NucleotideEngine, SegmentBudgetStopsExplosiveDoubling) {
    // Every duplication doubles the genome and its rate: without a budget the
    // segment list would outgrow memory in finite time.
    NucleotideParams params = founders(3, 20);
    params.duplication = 1.0;
    params.extension = 1.0;
    params.max_segments = 1 << 12;
    EXPECT_THROW(simulate_nucleotide(one_branch(1.0), params), RunawayError);

    NucleotideParams wide = founders(100, 5);
    wide.max_segments = 99;
    EXPECT_THROW(simulate_nucleotide(one_branch(1.0), wide), RunawayError);
    // Three leaves hold three copies of 100 segments.
    wide.max_segments = 299;
    EXPECT_THROW(simulate_nucleotide(small_tree(), wide), RunawayError);
    wide.max_segments = 300;
    EXPECT_EQ(simulate_nucleotide(small_tree(), wide).size(), 3u);
}

}  // namespace
}  // namespace korvath
