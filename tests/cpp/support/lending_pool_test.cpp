#include "support/lending_pool.h"
#include "support/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace korvath {
namespace {

struct Scratch {
    int uses = 0;
};

TEST(LendingPool, AReturnedObjectIsLentAgainAndAnEndedLeaseIsReturnedEvenOnAThrow) {
    LendingPool<Scratch> pool(1);
    Scratch* first = nullptr;
    try {
        const auto lease = pool.take();
        first = lease.get();
        ++(*lease).uses;
        throw std::runtime_error("item failed");
    } catch (const std::runtime_error&) {
    }
    const auto again = pool.take();
    EXPECT_EQ(again.get(), first);
    EXPECT_EQ((*again).uses, 1);
    // The only idle object is out: the next take makes a new one.
    const auto other = pool.take();
    EXPECT_NE(other.get(), first);
}

TEST(LendingPool, KeepsAtMostItsIdleLimitAndServesConcurrentItems) {
    LendingPool<Scratch> pool(2);
    WorkerPool workers(3);
    std::atomic<int> items{0};
    workers.run_indexed(200, [&](std::size_t) {
        const auto lease = pool.take();
        ++(*lease).uses;
        ++items;
    });
    EXPECT_EQ(items.load(), 200);
    // Two idle objects come back out; a third take makes a fresh one.
    const auto a = pool.take();
    const auto b = pool.take();
    const auto c = pool.take();
    EXPECT_GT((*a).uses, 0);
    EXPECT_GT((*b).uses, 0);
    EXPECT_EQ((*c).uses, 0);
}

}  // namespace
}  // namespace korvath
