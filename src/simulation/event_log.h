// The gene-family engine's event log: nine parallel columns, one row per event
// in the order the events happen, plus the copies found on each extant leaf.
#pragma once

#include "simulation/copy_arena.h"

#include <cstdint>
#include <vector>

namespace korvath {

enum class EventKind : std::uint8_t {
    Origination = 0,
    Duplication = 1,
    Transfer = 2,
    Loss = 3,
    Speciation = 4,
};

inline constexpr char kEventLetters[] = "ODTLS";

struct EventLog {
    std::vector<std::uint8_t> kind;
    std::vector<std::uint32_t> branch;
    std::vector<double> time;
    std::vector<std::int64_t> donor;
    std::vector<std::int64_t> recipient;
    std::vector<std::uint64_t> family;
    std::vector<std::uint64_t> gene;
    std::vector<std::int64_t> child1;
    std::vector<std::int64_t> child2;

    std::size_t size() const { return kind.size(); }
};

struct GeneCopy {
    std::uint64_t gene;
    std::uint64_t family;
};

// A branch's copies. Engine runs draw these lists from their CopyArena; a
// default-constructed list uses the global heap.
using CopyList = std::vector<GeneCopy, ArenaAllocator<GeneCopy>>;

// The copies on one extant leaf at the moment the leaf is reached.
struct ExtantCopies {
    std::uint64_t node;
    CopyList copies;
};

}  // namespace korvath
