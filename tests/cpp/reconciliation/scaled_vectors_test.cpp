#include "reconciliation/scaled_vectors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace korvath::reconciliation {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ScaledVectors, LogOfANormalTrueValueIsThePlainLog) {
    // 0.3 * 2^-900 is a normal double: its log is taken exactly as before.
    const double value = std::ldexp(0.3, -900);
    EXPECT_EQ(scaled_log(0.3 * 0x1p+100, -1000), std::log(value));
    EXPECT_EQ(scaled_log(0.3, 0), std::log(0.3));
}

TEST(ScaledVectors, LogBeyondTheDoubleRangeIsSplitAndAccurate) {
    // 0.75 * 2^-40000 and 0.75 * 2^40000: far outside the double range.
    const double expected_small = std::log(0.75) - 40000.0 * std::log(2.0);
    EXPECT_NEAR(scaled_log(0.75, -40000), expected_small, 1e-12 * std::fabs(expected_small));
    const double expected_large = std::log(0.75) + 40000.0 * std::log(2.0);
    EXPECT_NEAR(scaled_log(0.75, 40000), expected_large, 1e-12 * expected_large);
}

TEST(ScaledVectors, OnlyZeroNegativeOrNaNGiveMinusInfinity) {
    EXPECT_EQ(scaled_log(0.0, -5000), -kInf);
    EXPECT_EQ(scaled_log(-1e-300, 0), -kInf);
    EXPECT_EQ(scaled_log(kNaN, 0), -kInf);
    EXPECT_TRUE(std::isfinite(scaled_log(std::numeric_limits<double>::denorm_min(), -100000)));
}

TEST(ScaledVectors, RescaleOnlyOutsideTheLimits) {
    EXPECT_EQ(rescale_exponent(0.0), 0);
    EXPECT_EQ(rescale_exponent(kInf), 0);
    EXPECT_EQ(rescale_exponent(kNaN), 0);
    EXPECT_EQ(rescale_exponent(0x1p-127), 0);
    EXPECT_EQ(rescale_exponent(0x1p+127), 0);
    // Outside: the largest value is brought to [0.5, 1).
    EXPECT_EQ(rescale_exponent(0x1p-129), -128);
    EXPECT_EQ(rescale_exponent(0x1.8p+200), 201);
}

TEST(ScaledVectors, MaxMagnitudeSkipsNaNAndTakesAbsoluteValues) {
    const double values[] = {0.5, -3.0, kNaN, 2.0, 0.0, 1.0, -0.25, 2.5, 1.5, kNaN, -2.75};
    EXPECT_EQ(max_magnitude(values, 11), 3.0);
    EXPECT_EQ(max_magnitude(values + 3, 8), 2.75);
    EXPECT_EQ(max_magnitude(values, 0), 0.0);
}

// The dispatched maximum (vector code on processors that have it) against
// the portable loop: random bit patterns, so NaN, infinities, signed zeros
// and subnormals all occur, at every length and misalignment up to 70.
TEST(ScaledVectors, MaxMagnitudeIsTheSameWithVectorCode) {
    std::mt19937_64 rng(5);
    std::vector<double> values(80);
    for (int round = 0; round < 2000; ++round) {
        for (double& x : values) {
            const std::uint64_t bits = rng();
            std::memcpy(&x, &bits, sizeof x);
            if (rng() % 4 == 0) x = std::ldexp(x, -static_cast<int>(rng() % 2000));  // more small values
        }
        if (round % 3 == 0) values[rng() % values.size()] = kNaN;
        const std::size_t offset = rng() % 8;
        const std::size_t count = rng() % 71;
        const double expected = max_magnitude_portable(values.data() + offset, count);
        const double got = max_magnitude(values.data() + offset, count);
        ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << "round " << round;
    }
}

TEST(ScaledVectors, SumsOfDifferentScalesKeepTheLargerScale) {
    // 0.5 * 2^10 + 0.5 * 2^8 = 0.625 * 2^10
    ScaledValue sum = add_scaled(0.5, 10, 0.5, 8);
    EXPECT_EQ(sum.exponent, 10);
    EXPECT_EQ(sum.value, 0.625);
    sum = add_scaled(0.5, 8, 0.5, 10);
    EXPECT_EQ(sum.exponent, 10);
    EXPECT_EQ(sum.value, 0.625);
    // A term 2^-5000 below the other vanishes; zero takes the other's scale.
    sum = add_scaled(0.5, -6000, 0.25, -1000);
    EXPECT_EQ(sum.exponent, -1000);
    EXPECT_EQ(sum.value, 0.25);
    sum = add_scaled(0.0, 3, 0.25, -7000);
    EXPECT_EQ(sum.exponent, -7000);
    EXPECT_EQ(sum.value, 0.25);
}

}  // namespace
}  // namespace korvath::reconciliation

namespace korvath::reconciliation {
namespace {

// Scaling multiplies by a power of two where that is a normal double: the
// result must be ldexp's bit for bit, subnormal and overflowing results
// included, and beyond that range ldexp itself is used.
TEST(ScaledVectors, PowerOfTwoScalingIsLdexpBitForBit) {
    std::mt19937_64 rng(11);
    std::vector<double> values;
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t bits = rng();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        if (!std::isnan(x)) values.push_back(x);
    }
    for (double x : {0.0, -0.0, 1.0, 0x1p-1074, 0x1.fffffffffffffp+1023, 0x1p-1022})
        values.push_back(x);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = values[i];
        const int k = static_cast<int>(rng() % 4400) - 2200;
        const double expected = std::ldexp(x, k);
        const double got = ldexp_wide(x, k);
        ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << x << " * 2^" << k;
        double scaled[1] = {x};
        scale_down(scaled, 1, -k);
        ASSERT_EQ(std::memcmp(&scaled[0], &expected, sizeof got), 0) << x << " / 2^" << -k;
    }
    // Runs long enough for the vector loop, with their unaligned starts and tails.
    for (std::size_t begin = 0; begin + 80 < values.size(); begin += 80) {
        const std::size_t offset = rng() % 8;
        const std::size_t count = rng() % 71;
        const int shift = static_cast<int>(rng() % 4400) - 2200;
        std::vector<double> scaled(values.begin() + static_cast<std::ptrdiff_t>(begin),
                                   values.begin() + static_cast<std::ptrdiff_t>(begin + 80));
        scale_down(scaled.data() + offset, count, shift);
        for (std::size_t k = 0; k < scaled.size(); ++k) {
            const double x = values[begin + k];
            const bool inside = k >= offset && k < offset + count;
            const double expected = inside ? std::ldexp(x, -shift) : x;
            ASSERT_EQ(std::memcmp(&scaled[k], &expected, sizeof x), 0)
                << x << " / 2^" << shift << " at " << k;
        }
    }
}

}  // namespace
}  // namespace korvath::reconciliation
