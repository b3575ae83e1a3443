#include "simulation/copy_arena.h"
#include "simulation/event_log.h"
#include "simulation/rng.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace korvath {
namespace {

struct Block {
    unsigned char* data;
    std::size_t bytes;
    unsigned char fill;
};

// Random allocations and frees of many sizes, each block filled with its own
// byte: no two live blocks may overlap, and none may be disturbed by later
// traffic (which would show as a changed fill byte).
TEST(CopyArena, LiveBlocksNeverOverlapAndKeepTheirContents) {
    CopyArena arena;
    Rng rng = Rng::from_seed(11);
    std::vector<Block> live;
    for (int step = 0; step < 20000; ++step) {
        if (live.empty() || rng.index_below(3) != 0) {
            const std::size_t bytes = 1 + rng.index_below(std::size_t{1} << (4 + rng.index_below(14)));
            auto* data = static_cast<unsigned char*>(arena.allocate(bytes));
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(data) % 64, 0u);
            const auto fill = static_cast<unsigned char>(step);
            std::memset(data, fill, bytes);
            live.push_back({data, bytes, fill});
        } else {
            const std::size_t k = rng.index_below(live.size());
            const Block b = live[k];
            for (std::size_t i = 0; i < b.bytes; i += 97) ASSERT_EQ(b.data[i], b.fill);
            ASSERT_EQ(b.data[b.bytes - 1], b.fill);
            arena.deallocate(b.data, b.bytes);
            live[k] = live.back();
            live.pop_back();
        }
    }
    std::sort(live.begin(), live.end(), [](const Block& a, const Block& b) { return a.data < b.data; });
    for (std::size_t k = 1; k < live.size(); ++k) {
        ASSERT_LE(live[k - 1].data + live[k - 1].bytes, live[k].data);
    }
    for (const Block& b : live) ASSERT_EQ(b.data[b.bytes - 1], b.fill);
}

TEST(CopyArena, FreedBlocksAreReusedBeforeNewMemoryIsMapped) {
    CopyArena arena;
    std::vector<void*> blocks;
    for (int k = 0; k < 64; ++k) blocks.push_back(arena.allocate(4096));
    const std::size_t mapped = arena.mapped_bytes();
    for (void* b : blocks) arena.deallocate(b, 4096);
    for (int round = 0; round < 100; ++round) {
        for (void*& b : blocks) b = arena.allocate(4000);  // the same size class
        for (void* b : blocks) arena.deallocate(b, 4000);
    }
    EXPECT_EQ(arena.mapped_bytes(), mapped);
    // A block larger than any chunk gets a mapping of its own.
    void* big = arena.allocate(std::size_t{200} << 20);
    std::memset(big, 1, 4096);
    EXPECT_GE(arena.mapped_bytes(), mapped + (std::size_t{200} << 20));
    arena.deallocate(big, std::size_t{200} << 20);
}

// Releasing the free memory must neither disturb the live blocks nor break
// the free lists: the released blocks are handed out again and hold writes.
TEST(CopyArena, ReleasingFreeMemoryKeepsLiveBlocksAndReusesFreedOnes) {
    CopyArena arena;
    const std::size_t bytes = std::size_t{1} << 16;
    std::vector<unsigned char*> blocks;
    for (int k = 0; k < 256; ++k) {  // 16 MiB: reaches the chunks mapped from the system
        blocks.push_back(static_cast<unsigned char*>(arena.allocate(bytes)));
        std::memset(blocks.back(), k, bytes);
    }
    for (int k = 0; k < 256; k += 2) arena.deallocate(blocks[k], bytes);
    arena.release_free_memory();
    for (int k = 1; k < 256; k += 2) {
        ASSERT_EQ(blocks[k][0], k);
        ASSERT_EQ(blocks[k][bytes - 1], k);
    }
    const std::size_t mapped = arena.mapped_bytes();
    for (int k = 0; k < 256; k += 2) {
        blocks[k] = static_cast<unsigned char*>(arena.allocate(bytes));
        std::memset(blocks[k], 0xAB, bytes);
    }
    EXPECT_EQ(arena.mapped_bytes(), mapped);
    for (int k = 0; k < 256; ++k) {
        ASSERT_EQ(blocks[k][bytes / 2], k % 2 == 0 ? 0xAB : k) << k;
    }
}

TEST(CopyArena, ListsMoveBetweenOwnersWithoutCopying) {
    CopyArena arena;
    CopyList a{ArenaAllocator<GeneCopy>(&arena)};
    for (std::uint64_t g = 0; g < 1000; ++g) a.push_back({g, g % 7});
    const GeneCopy* storage = a.data();
    CopyList b{ArenaAllocator<GeneCopy>(&arena)};
    b = std::move(a);
    EXPECT_EQ(b.data(), storage);
    // Assigning into a list of the global heap takes the arena along.
    CopyList heap;
    heap = std::move(b);
    EXPECT_EQ(heap.data(), storage);
    EXPECT_EQ(heap.get_allocator().arena(), &arena);
    EXPECT_EQ(heap[999].gene, 999u);
    // A list without an arena works on the global heap.
    CopyList plain;
    for (std::uint64_t g = 0; g < 100; ++g) plain.push_back({g, 0});
    EXPECT_EQ(plain.get_allocator().arena(), nullptr);
    EXPECT_EQ(plain[99].gene, 99u);
}

}  // namespace
}  // namespace korvath
