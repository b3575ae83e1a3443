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

// A row's donor is its branch on a transfer row and none elsewhere, and its
// second child id is always one past the first (ids are minted in pairs), so
// the log stores neither: seven columns, 41 bytes a row. Large runs write
// hundreds of millions of rows into fresh memory, so every byte of a row
// counts. The accessors give the nine-column view, with -1 for "none".
struct EventLog {
    static constexpr std::uint32_t kNoNode = 0xFFFFFFFFu;

    std::vector<std::uint8_t> kind;
    std::vector<std::uint32_t> branch;
    std::vector<double> time;
    std::vector<std::uint32_t> recipient_node;  // transfer rows; kNoNode elsewhere
    std::vector<std::uint64_t> family;
    std::vector<std::uint64_t> gene;
    std::vector<std::int64_t> child1;  // -1 on origination and loss rows

    std::size_t size() const { return kind.size(); }

    // Every column as long as `kind`.
    bool columns_agree() const {
        const std::size_t n = kind.size();
        return branch.size() == n && time.size() == n && recipient_node.size() == n &&
               family.size() == n && gene.size() == n && child1.size() == n;
    }

    // The derived columns of row e (e < size(), columns agreeing).
    std::int64_t donor(std::size_t e) const {
        return kind[e] == static_cast<std::uint8_t>(EventKind::Transfer)
                   ? static_cast<std::int64_t>(branch[e])
                   : -1;
    }
    std::int64_t recipient(std::size_t e) const {
        const std::uint32_t r = recipient_node[e];
        return r == kNoNode ? -1 : static_cast<std::int64_t>(r);
    }
    std::int64_t child2(std::size_t e) const {
        const std::int64_t c = child1[e];
        return c < 0 ? -1 : static_cast<std::int64_t>(static_cast<std::uint64_t>(c) + 1);
    }
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
