#include "reconciliation/time_grid.h"

#include "support/faults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korvath::reconciliation {
namespace {

TEST(TimeGrid, RoundsToTwelveDecimalsWithHalvesAwayFromZero) {
    // 2.5e-12 * 1e12 is exactly 2.5: away from zero gives 3, not the even 2.
    EXPECT_EQ(round_to_grid(2.5e-12), 3.0 / 1e12);
    EXPECT_EQ(round_to_grid(-2.5e-12), -3.0 / 1e12);
    EXPECT_EQ(round_to_grid(1.0000000000025), 1000000000003.0 / 1e12);
    EXPECT_EQ(round_to_grid(1.0 + 4e-13), 1.0);
    EXPECT_EQ(round_to_grid(0.75), 0.75);
}

TEST(TimeGrid, SortsMergesAndAlwaysHoldsZero) {
    const std::vector<double> grid = build_time_grid({1.0, 0.5, 1.0 + 4e-13, 2.0, 0.5});
    EXPECT_EQ(grid, (std::vector<double>{0.0, 0.5, 1.0, 2.0}));
    EXPECT_EQ(build_time_grid({}), (std::vector<double>{0.0}));
    EXPECT_EQ(build_time_grid({-1.0, 3.0}), (std::vector<double>{-1.0, 0.0, 3.0}));
}

TEST(TimeGrid, NanTimeIsAFault) {
    EXPECT_THROW(build_time_grid({1.0, std::nan("")}), InternalFault);
}

TEST(TimeGrid, StepCountSaturates) {
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(saturating_step_count(std::nan("")), 0u);
    EXPECT_EQ(saturating_step_count(-5.0), 0u);
    EXPECT_EQ(saturating_step_count(7.0), 7u);
    EXPECT_EQ(saturating_step_count(9223372036854775808.0), 9223372036854775808u);
    EXPECT_EQ(saturating_step_count(18446744073709551616.0), kMax);
    EXPECT_EQ(saturating_step_count(1e300), kMax);
    EXPECT_EQ(saturating_step_count(std::numeric_limits<double>::infinity()), kMax);
}

TEST(TimeGrid, SliceStepsAreAtLeastFourPerExpectedEvent) {
    EXPECT_EQ(slice_step_count(1.0, 1.0, 1), 4u);
    EXPECT_EQ(slice_step_count(1.0, 1.0, 9), 9u);
    EXPECT_EQ(slice_step_count(0.4, 0.3, 0), 1u);  // ceil(0.48)
    EXPECT_EQ(slice_step_count(0.0, 1.0, 0), 0u);
    EXPECT_EQ(slice_step_count(-1.0, 1.0, 3), 3u);
    EXPECT_EQ(slice_step_count(1e300, 1e10, 3), std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
}  // namespace korvath::reconciliation
