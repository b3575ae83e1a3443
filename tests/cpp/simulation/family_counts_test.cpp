#include "simulation/family_counts.h"

#include "simulation/rng.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

namespace korvath {
namespace {

// The plain walk over the families in ascending id: the reference behaviour.
std::uint64_t linear_family_at(const std::map<std::uint64_t, std::uint32_t>& families,
                               std::uint64_t j) {
    for (const auto& [id, count] : families) {
        if (j < count) return id;
        j -= count;
    }
    ADD_FAILURE() << "walk ran off the end";
    return 0;
}

void expect_same(const FamilyCounts& store, const std::map<std::uint64_t, std::uint32_t>& model,
                 std::uint64_t seed) {
    std::uint64_t total = 0;
    for (const auto& [id, count] : model) total += count;
    ASSERT_EQ(store.copy_total(), total) << "seed " << seed;
    ASSERT_EQ(store.family_count(), model.size()) << "seed " << seed;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> listed;
    store.for_each_family([&](std::uint64_t id, std::uint32_t count) { listed.emplace_back(id, count); });
    using Rows = std::vector<std::pair<std::uint64_t, std::uint32_t>>;
    ASSERT_EQ(listed, Rows(model.begin(), model.end())) << "seed " << seed;
    for (std::uint64_t j = 0; j < total; ++j) {
        ASSERT_EQ(store.id_at(store.slot_of_copy(j)), linear_family_at(model, j))
            << "copy " << j << ", seed " << seed;
    }
}

TEST(FamilyCounts, FoundersHoldOneCopyEach) {
    const FamilyCounts store = FamilyCounts::founders(5);
    std::map<std::uint64_t, std::uint32_t> model{{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}};
    expect_same(store, model, 0);
    EXPECT_EQ(FamilyCounts::founders(0).copy_total(), 0u);
}

TEST(FamilyCounts, PickSkipsEmptiedFamiliesAndFollowsIdOrder) {
    FamilyCounts store;
    store.add_copy(7);
    store.add_copy(7);
    store.add_copy(9);
    store.add_copy(3);  // inserted before 7
    std::size_t nine = store.find(9);
    store.remove_copies_at(nine, 1);  // 9 becomes a tombstone
    store.add_copy(12);
    // Copies in id order: 3 | 7 7 | 12
    EXPECT_EQ(store.id_at(store.slot_of_copy(0)), 3u);
    EXPECT_EQ(store.id_at(store.slot_of_copy(1)), 7u);
    EXPECT_EQ(store.id_at(store.slot_of_copy(2)), 7u);
    EXPECT_EQ(store.id_at(store.slot_of_copy(3)), 12u);
    EXPECT_EQ(store.count_of(9), 0u);
    EXPECT_EQ(store.count_of(8), 0u);
    try {
        store.slot_of_copy(4);
        FAIL() << "an index past the copies must fault";
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(),
                     "internal error: entered unreachable code: family_at index out of range");
    }
}

TEST(FamilyCounts, RandomOperationsMatchTheLinearWalk) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        Rng rng = Rng::from_seed(seed);
        const std::uint64_t founders = rng.index_below(seed % 4 == 0 ? 300 : 40);
        FamilyCounts store = FamilyCounts::founders(founders);
        std::map<std::uint64_t, std::uint32_t> model;
        for (std::uint64_t f = 0; f < founders; ++f) model[f] = 1;
        std::uint64_t next_id = founders;
        for (int step = 0; step < 1500; ++step) {
            const std::uint64_t op = rng.index_below(10);
            if (op < 2) {  // a new family: the largest id so far
                store.add_copy(next_id);
                model[next_id++] = 1;
            } else if (op < 5) {  // a copy of any id seen so far (transfer arrival)
                const std::uint64_t id = rng.index_below(next_id + 1);
                const std::size_t slot = store.add_copy(id);
                ASSERT_EQ(store.id_at(slot), id);
                ++model[id];
                if (id == next_id) ++next_id;
            } else if (store.copy_total() > 0) {  // duplication or loss of a drawn copy
                const std::uint64_t j = rng.index_below(store.copy_total());
                const std::size_t slot = store.slot_of_copy(j);
                const std::uint64_t id = store.id_at(slot);
                ASSERT_EQ(id, linear_family_at(model, j)) << "seed " << seed;
                ASSERT_EQ(store.family_of_copy(j), id);
                if (op < 7) {
                    store.add_copy_at(slot);
                    ++model[id];
                } else {
                    const std::uint32_t k = op == 9 ? store.count_at(slot) : 1;
                    store.remove_copies_at(slot, k);
                    model[id] -= k;
                    if (model[id] == 0) model.erase(id);
                }
            }
            if (step % 100 == 0) expect_same(store, model, seed);
        }
        expect_same(store, model, seed);
    }
}

TEST(FamilyCounts, CopiesAreIndependent) {
    FamilyCounts parent = FamilyCounts::founders(40);
    FamilyCounts child = parent;
    for (int i = 0; i < 40; ++i) parent.remove_copies_at(parent.find(i), 1);  // compacts
    child.add_copy(45);
    EXPECT_EQ(parent.copy_total(), 0u);
    EXPECT_EQ(child.copy_total(), 41u);
    EXPECT_EQ(child.id_at(child.slot_of_copy(40)), 45u);
    parent.add_copy(3);
    EXPECT_EQ(parent.id_at(parent.slot_of_copy(0)), 3u);
}

TEST(FamilyCounts, ManyFamiliesAcrossSeveralTreeLevels) {
    // 70,000 slots need five levels of 16-way sums.
    FamilyCounts store = FamilyCounts::founders(70000);
    std::map<std::uint64_t, std::uint32_t> model;
    for (std::uint64_t f = 0; f < 70000; ++f) model[f] = 1;
    Rng rng = Rng::from_seed(99);
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t id = rng.index_below(70000);
        const std::size_t slot = store.find(id);
        if (store.count_at(slot) > 0 && i % 3 == 0) {
            store.remove_copies_at(slot, 1);
            if (--model[id] == 0) model.erase(id);
        } else {
            store.add_copy_at(slot);
            ++model[id];
        }
    }
    // The walk once, as cumulative ends, so that many picks can be checked.
    std::vector<std::uint64_t> ends, ids;
    std::uint64_t running = 0;
    for (const auto& [id, count] : model) {
        running += count;
        ends.push_back(running);
        ids.push_back(id);
    }
    ASSERT_EQ(store.copy_total(), running);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t j = rng.index_below(store.copy_total());
        const auto at = std::upper_bound(ends.begin(), ends.end(), j) - ends.begin();
        ASSERT_EQ(store.id_at(store.slot_of_copy(j)), ids[static_cast<std::size_t>(at)]);
    }
}

TEST(FamilyCounts, RemovingMoreThanHeldFaults) {
    FamilyCounts store = FamilyCounts::founders(2);
    EXPECT_THROW(store.remove_copies_at(0, 2), InternalFault);
}

}  // namespace
}  // namespace korvath
