// Storage for the gene-copy lists of one engine run.
//
// A run keeps one list per active branch and hands every extant leaf's list
// to the result; together they hold tens of megabytes that are read at random
// positions, and new lists appear at every speciation. Drawn from the general
// heap, that memory arrives in 4 KiB pages, each a page fault on first touch
// and a translation-cache miss on every later random read. The arena instead
// carves blocks out of large mappings backed by transparent huge pages where
// the system offers them, and recycles freed blocks by size class. Nothing in
// a run's results depends on where its lists live.
//
//   CopyArena arena;
//   std::vector<GeneCopy, ArenaAllocator<GeneCopy>> copies{ArenaAllocator<GeneCopy>(&arena)};
//
// Every block goes back to the system when the arena is destroyed, so the
// arena must outlive every container that allocates from it. An allocator
// without an arena uses the global operator new, for lists built outside an
// engine run (tests, small tools).
#pragma once

#include "support/memory_budget.h"

#include <array>
#include <cstddef>
#include <new>
#include <type_traits>
#include <vector>

namespace korvath {

class CopyArena {
public:
    CopyArena() = default;
    CopyArena(const CopyArena&) = delete;
    CopyArena& operator=(const CopyArena&) = delete;
    ~CopyArena();

    // A block of at least `bytes` bytes, aligned to 64 (a cache line); throws
    // std::bad_alloc.
    void* allocate(std::size_t bytes);
    // Returns a block from allocate(bytes) with the same `bytes`.
    void deallocate(void* block, std::size_t bytes) noexcept;

    // Bytes obtained from the system so far.
    std::size_t mapped_bytes() const { return mapped_bytes_; }

    // Charges the bytes the arena holds, and every chunk it obtains from now
    // on, to `budget`, so that a chunk that would pass the budget throws its
    // RunawayError instead. Null hands the bytes back to the budget and stops
    // the charging: a run detaches its budget before the arena outlives it
    // (the arena keeps no pointer to a budget that is gone).
    void set_budget(StorageBudget* budget) {
        if (budget == budget_) return;
        if (budget != nullptr) budget->charge(mapped_bytes_);
        if (budget_ != nullptr) budget_->release(mapped_bytes_);
        budget_ = budget;
    }

    // Hands the memory of every free block (and of the newest chunk's unused
    // tail) back to the system, keeping the blocks themselves for reuse: a
    // reused block reads as zeros. For the end of a run, when the lists that
    // remain are all the arena still has to hold.
    void release_free_memory() noexcept;

private:
    struct Mapping {
        void* base;
        std::size_t bytes;
    };

    static constexpr std::size_t kSmallestClass = 6;  // 64-byte blocks
    static constexpr std::size_t kClasses = 64;

    static std::size_t size_class(std::size_t bytes);
    void* carve(std::size_t block_bytes);
    void* map(std::size_t bytes);

    std::array<void*, kClasses> free_lists_{};  // intrusive: a free block holds the next
    std::vector<Mapping> mappings_;
    char* cursor_ = nullptr;  // the unused rest of the newest chunk
    char* chunk_end_ = nullptr;
    std::size_t mapped_bytes_ = 0;
    StorageBudget* budget_ = nullptr;
};

// Draws from an arena, or from the global operator new when it has none (for
// lists built outside an engine run: tests, small tools). `Alignment` applies
// to both sources; arena blocks are aligned to a cache line anyway.
template <class T, std::size_t Alignment = alignof(T)>
class ArenaAllocator {
    static_assert(Alignment <= 64, "arena blocks are aligned to 64 bytes");

public:
    using value_type = T;
    // Moving or swapping a list moves its arena with it, so that moving a list
    // between branches never copies its elements.
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_copy_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;
    template <class U>
    struct rebind {
        using other = ArenaAllocator<U, Alignment>;
    };

    ArenaAllocator() noexcept = default;
    explicit ArenaAllocator(CopyArena* arena) noexcept : arena_(arena) {}
    template <class U>
    ArenaAllocator(const ArenaAllocator<U, Alignment>& other) noexcept : arena_(other.arena()) {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        if (arena_ == nullptr) {
            return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{Alignment}));
        }
        return static_cast<T*>(arena_->allocate(n * sizeof(T)));
    }

    void deallocate(T* block, std::size_t n) noexcept {
        if (arena_ == nullptr) {
            ::operator delete(block, std::align_val_t{Alignment});
        } else {
            arena_->deallocate(block, n * sizeof(T));
        }
    }

    CopyArena* arena() const noexcept { return arena_; }

    template <class U>
    bool operator==(const ArenaAllocator<U, Alignment>& other) const noexcept {
        return arena_ == other.arena();
    }

private:
    CopyArena* arena_ = nullptr;
};

}  // namespace korvath
