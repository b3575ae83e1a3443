#include "simulation/family_index.h"
#include "simulation/removal_candidates.h"
#include "simulation/rng.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

namespace korvath {
namespace {

// A copy list and its index, updated together, with a brute-force check.
struct Mirrored {
    CopyList copies;
    FamilyIndex index;
    std::uint64_t next_gene = 0;

    void append(std::uint64_t family) {
        copies.push_back(GeneCopy{next_gene++, family});
        index.appended(family, copies.size() - 1);
    }
    void remove(std::size_t i) {
        index.swap_removed(copies[i].family, i, copies.back().family, copies.size() - 1);
        copies[i] = copies.back();
        copies.pop_back();
    }
    // Every family of the list (and one absent family) has the right count
    // and exactly its positions.
    void check(const char* where) const {
        std::map<std::uint64_t, std::vector<std::size_t>> expect;
        for (std::size_t p = 0; p < copies.size(); ++p) expect[copies[p].family].push_back(p);
        ASSERT_EQ(index.n_families(), expect.size()) << where;
        for (const auto& [family, positions] : expect) {
            ASSERT_EQ(index.count(family), positions.size()) << where << " family " << family;
            std::vector<std::size_t> found;
            index.collect(family, found);
            std::sort(found.begin(), found.end());
            ASSERT_EQ(found, positions) << where << " family " << family;
        }
        ASSERT_EQ(index.count(kAbsent), 0u) << where;
    }
    static constexpr std::uint64_t kAbsent = 0xFFFF'FFFF'FFFF'FFF1ULL;
};

// Family ids whose hashes agree in their top 20 bits and fall in the last
// slot of any table up to 2^20 slots: they all probe from the same home, and
// their chain wraps around the end of the table.
std::vector<std::uint64_t> colliding_families(std::size_t n) {
    std::vector<std::uint64_t> ids;
    for (std::uint64_t f = 0; ids.size() < n; ++f) {
        if (((f * 0x9E3779B97F4A7C15ULL) >> 44) == 0xFFFFF) ids.push_back(f);
    }
    return ids;
}

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


// A few families grow far past what a slot holds (into pool blocks, then
// blocks long enough to be searched by rank) and shrink back to nothing,
// with removals from anywhere in the list.
TEST(FamilyIndex, FamiliesGrowIntoThePoolAndShrinkBack) {
    const std::uint64_t seed = 7;
    Rng rng = Rng::from_seed(seed);
    Mirrored m;
    for (const std::size_t peak : {6, 17, 40, 700}) {
        while (m.copies.size() < peak * 3) {
            m.append(rng.index_below(3) * 1000);
            m.check("growing");
        }
        while (!m.copies.empty()) {
            m.remove(rng.index_below(m.copies.size()));
            m.check("shrinking");
        }
    }
    // Only the removed entry's own family is touched when it is the last one.
    for (int k = 0; k < 40; ++k) m.append(k % 2);
    while (!m.copies.empty()) {
        m.remove(m.copies.size() - 1);
        m.check("removing the last entry");
    }
    EXPECT_EQ(m.index.n_families(), 0u) << "seed " << seed;
}

// Families that all share one home slot, next to others, while the table
// grows, entries leave from the middle of the probe chain and the chain wraps.
TEST(FamilyIndex, CollidingFamiliesStayFindable) {
    const std::vector<std::uint64_t> crowd = colliding_families(12);
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
        Rng rng = Rng::from_seed(seed);
        Mirrored m;
        for (int step = 0; step < 3000; ++step) {
            if (m.copies.empty() || rng.index_below(2) == 0) {
                // Colliding ids, plus plain small ids that land elsewhere.
                const std::uint64_t k = rng.index_below(crowd.size() + 6);
                m.append(k < crowd.size() ? crowd[k] : k);
            } else {
                m.remove(rng.index_below(m.copies.size()));
            }
            m.check("colliding");
            if (::testing::Test::HasFatalFailure()) FAIL() << "seed " << seed << " step " << step;
        }
    }
}

// A copy of an index (as made for a child branch) is independent of the
// original: each follows its own list afterwards, including a copy taken
// after most families left, which starts with a smaller table and grows again.
TEST(FamilyIndex, CopiesAreIndependent) {
    const std::uint64_t seed = 11;
    Rng rng = Rng::from_seed(seed);
    Mirrored parent;
    for (int k = 0; k < 3000; ++k) parent.append(rng.index_below(1500));
    while (parent.copies.size() > 60) parent.remove(rng.index_below(parent.copies.size()));
    Mirrored child = parent;
    parent.check("parent after the copy");
    child.check("child after the copy");
    for (int step = 0; step < 4000; ++step) {
        for (Mirrored* m : {&parent, &child}) {
            const bool grow = m->copies.empty() || rng.index_below(3) != 0;
            if (grow) {
                m->append(rng.index_below(m == &parent ? 2000 : 30));
            } else {
                m->remove(rng.index_below(m->copies.size()));
            }
        }
    }
    parent.check("parent");
    child.check("child");
    Mirrored assigned;
    assigned.append(5);
    assigned = child;
    child.remove(0);
    assigned.check("assigned");
    child.check("child after the assignment");
    // A copy of an index whose families all left works like a new one.
    while (!child.copies.empty()) child.remove(0);
    Mirrored emptied = child;
    for (int k = 0; k < 20; ++k) emptied.append(k % 7);
    emptied.check("refilled after an empty copy");
}

// Calls that disagree with the index's own record of the list fault, and
// leave the index as it was.
TEST(FamilyIndex, OutOfStepCallsFaultWithoutChanges) {
    Mirrored m;
    m.append(1);                                    // position 0
    for (int k = 0; k < 2; ++k) m.append(2);        // 1, 2: in the slot
    for (int k = 0; k < 7; ++k) m.append(3);        // 3..9: a scanned block
    for (int k = 0; k < 20; ++k) m.append(4);       // 10..29: a block searched by rank
    FamilyIndex& index = m.index;
    EXPECT_THROW(index.appended(4, 3), InternalFault);             // not the next position
    EXPECT_THROW(index.swap_removed(1, 0, 4, 30), InternalFault);  // past the end
    EXPECT_THROW(index.swap_removed(1, 30, 4, 29), InternalFault); // i beyond last
    EXPECT_THROW(index.swap_removed(9, 0, 4, 29), InternalFault);  // unknown family
    EXPECT_THROW(index.swap_removed(1, 0, 9, 29), InternalFault);  // unknown last family
    EXPECT_THROW(index.swap_removed(2, 0, 4, 29), InternalFault);  // 0 is family 1's
    EXPECT_THROW(index.swap_removed(3, 1, 4, 29), InternalFault);  // 1 is family 2's
    EXPECT_THROW(index.swap_removed(4, 3, 1, 29), InternalFault);  // 3 is family 3's
    EXPECT_THROW(index.swap_removed(1, 0, 2, 29), InternalFault);  // 29 is family 4's
    EXPECT_THROW(index.swap_removed(1, 0, 3, 29), InternalFault);
    EXPECT_THROW(index.swap_removed(3, 3, 4, 9), InternalFault);   // 9 is not the last
    m.check("after the rejected calls");
    m.remove(0);
    m.remove(12);
    m.check("after two sound removals");
}

}  // namespace
}  // namespace korvath
