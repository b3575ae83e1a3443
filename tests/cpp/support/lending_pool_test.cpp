#include "support/lending_pool.h"

#include <gtest/gtest.h>

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

TEST(LendingPool, KeepsAtMostItsIdleLimit) {
    LendingPool<Scratch> pool(2);
    {
        // Three leases at once, all used, all given back: two are kept.
        const auto a = pool.take();
        const auto b = pool.take();
        const auto c = pool.take();
        for (Scratch* s : {a.get(), b.get(), c.get()}) ++s->uses;
    }
    const auto a = pool.take();
    const auto b = pool.take();
    const auto c = pool.take();
    EXPECT_EQ((*a).uses + (*b).uses + (*c).uses, 2);
    EXPECT_EQ((*c).uses, 0);  // the third is new
}

}  // namespace
}  // namespace korvath
