#include "simulation/copy_arena.h"

#include "support/huge_pages.h"

#include <bit>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KORVATH_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KORVATH_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define KORVATH_POISON(p, n) ((void)(p), (void)(n))
#define KORVATH_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace korvath {
namespace {

// Chunks start small, so that a run with a handful of copies costs no more
// than a few heap blocks, and double up to the largest size; chunks from the
// smallest mapped size on come straight from the system with the huge-page
// advice.
constexpr std::size_t kFirstChunk = std::size_t{64} << 10;
constexpr std::size_t kLargestChunk = std::size_t{64} << 20;
constexpr std::size_t kSmallestMapping = std::size_t{4} << 20;

}  // namespace

CopyArena::~CopyArena() {
    for (const Mapping& m : mappings_) {
        KORVATH_UNPOISON(m.base, m.bytes);
#if defined(__linux__)
        if (m.bytes >= kSmallestMapping) {
            munmap(m.base, m.bytes);
            continue;
        }
#endif
        ::operator delete(m.base, std::align_val_t{64});
    }
}

std::size_t CopyArena::size_class(std::size_t bytes) {
    if (bytes <= (std::size_t{1} << kSmallestClass)) return kSmallestClass;
    if (bytes > (std::size_t{1} << (kClasses - 2))) throw std::bad_alloc();
    return static_cast<std::size_t>(std::bit_width(bytes - 1));
}

void* CopyArena::allocate(std::size_t bytes) {
    const std::size_t k = size_class(bytes);
    if (void* block = free_lists_[k]) {
        KORVATH_UNPOISON(block, sizeof(void*));
        free_lists_[k] = *static_cast<void**>(block);
        KORVATH_UNPOISON(block, std::size_t{1} << k);
        return block;
    }
    void* block = carve(std::size_t{1} << k);
    KORVATH_UNPOISON(block, std::size_t{1} << k);
    return block;
}

void CopyArena::deallocate(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    const std::size_t k = size_class(bytes);
    KORVATH_UNPOISON(block, sizeof(void*));  // a chunk's unused tail arrives poisoned
    *static_cast<void**>(block) = free_lists_[k];
    free_lists_[k] = block;
    KORVATH_POISON(block, std::size_t{1} << k);
}

void CopyArena::release_free_memory() noexcept {
#if defined(__linux__) && defined(MADV_DONTNEED)
    constexpr std::uintptr_t kPage = 4096;
    // Only whole pages past the block's free-list link, and only inside the
    // chunks mapped straight from the system.
    const auto release = [&](const char* begin, const char* end) {
        const auto first = (reinterpret_cast<std::uintptr_t>(begin) + kPage - 1) & ~(kPage - 1);
        const auto last = reinterpret_cast<std::uintptr_t>(end) & ~(kPage - 1);
        if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    };
    const auto in_mapped_chunk = [&](const char* block) {
        for (const Mapping& m : mappings_) {
            const char* base = static_cast<const char*>(m.base);
            if (block >= base && block < base + m.bytes) return m.bytes >= kSmallestMapping;
        }
        return false;
    };
    for (std::size_t k = 13; k < kClasses; ++k) {  // blocks of two pages and more
        for (void* block = free_lists_[k]; block != nullptr;) {
            KORVATH_UNPOISON(block, sizeof(void*));
            void* next = *static_cast<void**>(block);
            KORVATH_POISON(block, sizeof(void*));
            const char* begin = static_cast<const char*>(block);
            if (in_mapped_chunk(begin)) release(begin + sizeof(void*), begin + (std::size_t{1} << k));
            block = next;
        }
    }
    if (cursor_ != nullptr && in_mapped_chunk(cursor_)) release(cursor_, chunk_end_);
#endif
}

// A fresh block from the newest chunk. The unused tail of a chunk that is too
// small for the request is cut into power-of-two blocks for the free lists.
void* CopyArena::carve(std::size_t block_bytes) {
    if (static_cast<std::size_t>(chunk_end_ - cursor_) < block_bytes) {
        std::size_t rest = static_cast<std::size_t>(chunk_end_ - cursor_);
        while (rest >= (std::size_t{1} << kSmallestClass)) {
            const std::size_t piece = std::bit_floor(rest);
            deallocate(cursor_, piece);
            cursor_ += piece;
            rest -= piece;
        }
        std::size_t chunk = mappings_.empty() ? kFirstChunk
                                              : std::min(mappings_.back().bytes * 2, kLargestChunk);
        if (chunk < block_bytes) chunk = block_bytes;
        cursor_ = static_cast<char*>(map(chunk));
        chunk_end_ = cursor_ + chunk;
    }
    void* block = cursor_;
    cursor_ += block_bytes;
    return block;
}

void* CopyArena::map(std::size_t bytes) {
    mappings_.reserve(mappings_.size() + 1);  // so that recording the mapping cannot fail
    if (budget_ != nullptr) budget_->charge(bytes);
    void* base = nullptr;
#if defined(__linux__)
    if (bytes >= kSmallestMapping) {
        base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            if (budget_ != nullptr) budget_->release(bytes);
            throw std::bad_alloc();
        }
        advise_huge_pages(base, bytes);
    }
#endif
    if (base == nullptr) {
        try {
            base = ::operator new(bytes, std::align_val_t{64});
        } catch (...) {
            if (budget_ != nullptr) budget_->release(bytes);
            throw;
        }
    }
    mappings_.push_back(Mapping{base, bytes});
    mapped_bytes_ += bytes;
    KORVATH_POISON(base, bytes);
    return base;
}

}  // namespace korvath
