#include "support/huge_pages.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace korvath {
namespace {

// The advice changes how memory is backed, never what it holds: a block
// grown for the advice holds exactly the values asked for, and a block
// large enough already is filled where it is.
TEST(HugePages, AssignHoldsTheValuesWhetherOrNotTheBlockIsReplaced) {
    std::vector<double> values(10, 7.0);
    const std::size_t big = (std::size_t{5} << 20) / sizeof(double) + 3;  // a few 2 MiB pages
    assign_with_huge_pages(values, big, 0.5);
    ASSERT_EQ(values.size(), big);
    for (std::size_t k = 0; k < big; k += 4099) ASSERT_EQ(values[k], 0.5) << k;
    EXPECT_EQ(values.back(), 0.5);

    const double* block = values.data();
    assign_with_huge_pages(values, 100, -1.0);
    EXPECT_EQ(values.data(), block);
    ASSERT_EQ(values.size(), 100u);
    for (double x : values) ASSERT_EQ(x, -1.0);

    assign_with_huge_pages(values, 0, 3.0);
    EXPECT_TRUE(values.empty());
}

}  // namespace
}  // namespace korvath
