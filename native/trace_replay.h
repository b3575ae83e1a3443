// Replay of a compact event trace (no speciation rows; copies keep their ids
// through speciations) against the species tree, giving back the event log
// of the recording run: speciation rows added, gene ids re-minted in the
// order the recording run mints them. Each branch's list of copies changes
// exactly as in the engine (removal by moving the last copy into the freed
// slot, renaming in place on transfer, copies passing to both children in
// list order), so the re-minted ids equal the recording run's. The pure
// Python version in korvath/replay.py is the reference; messages match it.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace korvath::native {

// A trace or tree that do not fit each other.
class ReplayError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct ReplayTree {
    std::span<const std::int64_t> parent;  // negative: no parent
    std::span<const double> time;
    std::span<const std::uint8_t> extant_leaf;  // 0 or 1
    std::int64_t root = 0;
};

struct TraceColumns {
    std::span<const std::uint8_t> kind;
    std::span<const std::int64_t> branch;
    std::span<const double> time;
    std::span<const std::int64_t> recipient;
    std::span<const std::int64_t> family;
    std::span<const std::int64_t> gene;
    std::span<const std::int64_t> child1;
};

struct ReplayedRun {
    // The log, seven columns (donor = branch on transfer rows, child2 = child1 + 1).
    std::vector<std::uint8_t> kind;
    std::vector<std::int64_t> branch;
    std::vector<double> time;
    std::vector<std::int64_t> recipient;
    std::vector<std::int64_t> family;
    std::vector<std::int64_t> gene;
    std::vector<std::int64_t> child1;
    // Extant copies: leaves in the order reached, then one entry per copy.
    std::vector<std::int64_t> leaves;
    std::vector<std::int64_t> copy_leaf;
    std::vector<std::int64_t> copy_gene;
    std::vector<std::int64_t> copy_family;
};

// Throws ReplayError for a tree that is not binary where the run splits, a
// date that is NaN, or a row that does not fit the run.
ReplayedRun replay_trace(const ReplayTree& tree, const TraceColumns& trace);

}  // namespace korvath::native
