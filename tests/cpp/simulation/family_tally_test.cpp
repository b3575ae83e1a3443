#include "simulation/family_tally.h"
#include "simulation/rng.h"

#include <gtest/gtest.h>

#include <map>

namespace korvath {
namespace {

// Random increments and decrements against an ordered map, with family ids
// drawn from a small range so probe chains collide and wrap often.
TEST(FamilyTally, AgreesWithAnOrderedMapUnderChurn) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        Rng rng = Rng::from_seed(seed);
        FamilyTally tally;
        std::map<std::uint64_t, std::uint32_t> expect;
        const std::uint64_t range = 1 + rng.index_below(200);
        for (int step = 0; step < 20000; ++step) {
            const std::uint64_t family = rng.index_below(range) * (seed % 2 ? 1 : 1024);
            if (rng.index_below(5) < 3 || expect.count(family) == 0) {
                tally.increment(family);
                ++expect[family];
            } else {
                tally.decrement(family);
                if (--expect[family] == 0) expect.erase(family);
            }
            ASSERT_EQ(tally.get(family), expect.count(family) ? expect[family] : 0u);
        }
        ASSERT_EQ(tally.size(), expect.size());
        for (std::uint64_t f = 0; f < range * 1024; f += (seed % 2 ? 1 : 1024)) {
            ASSERT_EQ(tally.get(f), expect.count(f) ? expect[f] : 0u) << "seed " << seed;
        }
    }
}

}  // namespace
}  // namespace korvath
