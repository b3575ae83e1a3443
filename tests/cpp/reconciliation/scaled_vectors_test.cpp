#include "reconciliation/scaled_vectors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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
