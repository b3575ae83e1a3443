// The dated model: the time grid cut into slices, the branches alive in each,
// and the extinction probability E of every alive branch at every Euler step,
// integrated backwards from the tips to the root. Built once per call and read
// by every gene tree of the batch.
#pragma once

#include "reconciliation/likelihood_input.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvath::reconciliation {

// An alive branch that ends at the later boundary of its slice.
struct BranchEnd {
    std::size_t entry = 0;   // position within the slice's branches
    std::size_t branch = 0;
    bool tip = false;        // a species tip: nothing below it
    std::size_t left = 0;    // the two daughter branches when not a tip
    std::size_t right = 0;
};

// One grid interval [G, H] with the branches alive throughout it. Every
// per-step quantity is one contiguous row of `width()` doubles, entry k
// belonging to branches[k].
struct TimeSlice {
    std::vector<std::size_t> branches;  // ascending
    std::uint64_t steps = 0;
    double dt = 0.0;
    double t_end = 0.0;  // H
    // steps + 1 rows: row j is E after j backward steps from H.
    std::vector<double> e_steps;
    // steps rows, the parts of the gene step that depend on E alone:
    // decay[j][k] = (R - (2 dup) E_k) - transfer Ebar_k and gain[j][k] = E_k transfer,
    // where E is row j and Ebar_k the mean of E over the other entries.
    std::vector<double> decay;
    std::vector<double> gain;
    std::vector<BranchEnd> ends;  // entries whose branch ends at H, in entry order

    std::size_t width() const { return branches.size(); }
    std::span<const double> e_step(std::size_t j) const {
        return std::span<const double>(e_steps).subspan(j * width(), width());
    }
};

// (dated_in_pieces copies every field but the slices and their layout.)
struct DatedExtinction {
    std::size_t n = 0;  // branch count
    std::vector<std::int64_t> sp_left;
    std::vector<std::int64_t> sp_right;
    std::vector<std::uint8_t> sp_is_leaf;
    std::vector<double> sp_time;
    std::vector<double> branch_length;
    std::vector<TimeSlice> slices;  // in increasing time
    std::vector<double> e_top;      // E at the upper end of each branch
    std::uint64_t sp_root = 0;
    double dup = 0.0;
    double transfer = 0.0;
    double loss = 0.0;
    double total_rate = 0.0;  // (dup + transfer) + loss

    // Layout of one gene node's per-step history: slice s starts at
    // trajectory_offset[s] and holds (steps + 1) rows; its per-step sums
    // (slices with two or more branches) start at sums_offset[s].
    std::vector<std::size_t> trajectory_offset;
    std::size_t trajectory_size = 0;
    std::vector<std::size_t> sums_offset;
    std::size_t sums_size = 0;
};

// Builds the model; n is the branch count (the length of sp_parent). Faults on
// short arrays, child indices outside the tree, NaN node times and storage
// that cannot be held.
DatedExtinction build_dated_extinction(std::size_t n, std::vector<std::int64_t> sp_left,
                                       std::vector<std::int64_t> sp_right,
                                       std::vector<std::uint8_t> sp_is_leaf,
                                       std::vector<double> sp_time,
                                       std::vector<double> sp_parent_time, std::uint64_t sp_root,
                                       DtlRates rates, std::uint64_t n_steps);

// The same model with every slice of more than `most` steps (most >= 1) cut
// into pieces of at most `most` steps, in the way a slice of many expected
// events is: the same steps of the same length in the same order, so each
// piece's rows are the slice's own rows over its steps, and the slice's ends
// are on the piece at its later boundary. A gene node's vectors of one piece
// are fewer than those of a whole slice, so a graph that holds many nodes'
// vectors at once holds less.
DatedExtinction dated_in_pieces(const DatedExtinction& model, std::uint64_t most);

// Checked daughters of the species root, for the root origination mode: the
// root must be an internal node whose children lie in the tree.
struct RootDaughters {
    std::size_t left;
    std::size_t right;
};
RootDaughters dated_root_daughters(const DatedExtinction& model);

// True when a branch is long enough to take part in the dated computation.
inline bool has_length(double branch_length) { return branch_length > 1e-9; }

}  // namespace korvath::reconciliation
