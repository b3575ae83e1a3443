#include "simulation/family_index.h"
#include "simulation/removal_candidates.h"
#include "simulation/rng.h"

#include <gtest/gtest.h>

#include <map>

namespace korvath {
namespace {

// Random appends and swap removals on a copy list mirrored by the index,
// with family ids drawn from a small range so probe chains collide and wrap
// often. After every step the index must agree with a walk of the list: the
// counts, and the removal candidates for a random family and arrived id.
TEST(FamilyIndex, AgreesWithAWalkOfTheListUnderChurn) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        Rng rng = Rng::from_seed(seed);
        CopyList copies;
        FamilyIndex index;
        std::map<std::uint64_t, std::uint32_t> expect;
        const std::uint64_t range = 1 + rng.index_below(60);
        const std::uint64_t stride = seed % 2 ? 1 : 1024;
        std::uint64_t next_gene = 0;
        RemovalCandidates indexed, scanned;
        for (int step = 0; step < 6000; ++step) {
            // Grow early, then hover around a steady size.
            const bool grow = copies.empty() || rng.index_below(copies.size() < 150 ? 3 : 2) != 0;
            if (grow) {
                const GeneCopy copy{next_gene++, rng.index_below(range) * stride};
                copies.push_back(copy);
                index.appended(copy.family, copies.size() - 1);
                ++expect[copy.family];
            } else {
                const std::size_t i = rng.index_below(copies.size());
                const std::uint64_t family = copies[i].family;
                index.swap_removed(family, i, copies.back().family, copies.size() - 1);
                copies[i] = copies.back();
                copies.pop_back();
                if (--expect[family] == 0) expect.erase(family);
            }
            const std::uint64_t family = rng.index_below(range) * stride;
            ASSERT_EQ(index.count(family), expect.count(family) ? expect[family] : 0u);
            // An arrived id that is on the list about half of the time.
            const std::uint64_t arrived = next_gene - 1 - rng.index_below(2 * copies.size() + 1);
            index_removal_candidates(copies, index, family, arrived, indexed);
            scan_removal_candidates(copies, family, arrived, scanned);
            ASSERT_EQ(indexed.residents, scanned.residents) << "seed " << seed << " step " << step;
            ASSERT_EQ(indexed.arrived, scanned.arrived) << "seed " << seed << " step " << step;
            find_removal_candidates(copies, index, family, arrived, indexed);
            ASSERT_EQ(indexed.residents, scanned.residents) << "seed " << seed << " step " << step;
        }
        ASSERT_EQ(index.n_families(), expect.size());
    }
}

TEST(FamilyIndex, CopiesCarryThePositionsAlong) {
    CopyList copies = {{0, 5}, {1, 7}, {2, 5}, {3, 5}};
    FamilyIndex index;
    for (std::size_t p = 0; p < copies.size(); ++p) index.appended(copies[p].family, p);
    FamilyIndex copy = index;
    // Remove position 0 (family 5) by moving {3, 5} into it.
    index.swap_removed(5, 0, 5, 3);
    copies[0] = copies[3];
    copies.pop_back();
    RemovalCandidates found;
    index_removal_candidates(copies, index, 5, 2, found);
    EXPECT_EQ(found.residents, (std::vector<std::size_t>{0}));
    EXPECT_EQ(found.arrived, (std::vector<std::size_t>{2}));
    EXPECT_EQ(copy.count(5), 3u);
    std::vector<std::size_t> positions;
    copy.collect(5, positions);
    std::sort(positions.begin(), positions.end());
    EXPECT_EQ(positions, (std::vector<std::size_t>{0, 2, 3}));
    EXPECT_THROW(index.appended(9, 7), InternalFault);
}

}  // namespace
}  // namespace korvath
