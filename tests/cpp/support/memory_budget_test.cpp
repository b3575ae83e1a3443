#include "support/memory_budget.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace korvath {
namespace {

TEST(StorageBudget, ChargesUpToTheLimitAndRefusesTheStepPastIt) {
    StorageBudget budget(1000, "over");
    budget.charge(600);
    EXPECT_TRUE(budget.fits(400));
    EXPECT_FALSE(budget.fits(401));
    EXPECT_EQ(budget.room(), 400u);
    budget.charge(400);
    EXPECT_EQ(budget.used(), 1000u);
    try {
        budget.charge(1);
        FAIL() << "a charge past the limit must throw";
    } catch (const RunawayError& e) {
        EXPECT_EQ(std::string(e.what()), "over");
    }
    EXPECT_EQ(budget.used(), 1000u);  // the refused charge took nothing
    budget.release(700);
    budget.charge(700);
    EXPECT_THROW(budget.charge(static_cast<std::size_t>(-1)), RunawayError);
}

TEST(StorageBudget, ConcurrentChargesNeverPassTheLimit) {
    StorageBudget budget(10'000, "over");
    std::vector<std::thread> threads;
    std::vector<int> granted(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5'000; ++i) {
                try {
                    budget.charge(1);
                    ++granted[t];
                } catch (const RunawayError&) {
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(granted[0] + granted[1] + granted[2] + granted[3], 10'000);
    EXPECT_EQ(budget.used(), 10'000u);
}

TEST(MemoryBudget, IsAnEighthOfTheMemoryAndNamedInTheRunawayMessage) {
    const std::size_t bytes = memory_budget_bytes();
    EXPECT_GT(bytes, 0u);
    EXPECT_LT(bytes, static_cast<std::size_t>(-1) / 8 + 1);
    EXPECT_EQ(memory_runaway_message(std::size_t{3} << 29,
                                     "exceeded max_events; genome growing without bound"),
              "exceeded the memory budget of 1.5 GB (one eighth of the memory the process may "
              "use); genome growing without bound");
    EXPECT_EQ(memory_runaway_message(std::size_t{64} << 20, "no advice"),
              "exceeded the memory budget of 64.0 MB (one eighth of the memory the process may "
              "use)");
}

}  // namespace
}  // namespace korvath
