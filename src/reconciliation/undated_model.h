// The undated and relatively dated model: one extinction probability per
// species branch, the fixed point of per-event probabilities measured against
// a speciation rate of 1. Transfers reach any other branch (undated) or only
// branches whose time spans overlap (reldated). Built once per call.
#pragma once

#include "reconciliation/likelihood_input.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvath::reconciliation {

// Sweep limit and tolerance of both fixed points.
inline constexpr int kMaxSweeps = 500;
inline constexpr double kFixedPointTolerance = 1e-13;

// Per branch, the branches that may receive a transfer from it, ascending,
// stored as one array cut by offsets.
struct RecipientSets {
    std::vector<std::size_t> offsets;  // n + 1 entries
    std::vector<std::size_t> members;

    std::span<const std::size_t> of(std::size_t branch) const {
        return std::span<const std::size_t>(members).subspan(
            offsets[branch], offsets[branch + 1] - offsets[branch]);
    }
};

// The two overlapping-span recipient sets of reldated mode.
RecipientSets build_recipients(const std::vector<double>& sp_time,
                               const std::vector<double>& sp_parent_time, std::size_t n);

struct UndatedExtinction {
    std::size_t n = 0;
    std::vector<std::int64_t> sp_left;
    std::vector<std::int64_t> sp_right;
    std::vector<std::uint8_t> sp_is_leaf;
    std::uint64_t sp_root = 0;
    bool reldated = false;
    RecipientSets recipients;  // reldated mode only
    double p_dup = 0.0;
    double p_transfer = 0.0;
    double p_speciation = 0.0;
    std::vector<double> extinction;

    // Checked daughters of every internal branch (0 for tips).
    std::vector<std::size_t> left_child;
    std::vector<std::size_t> right_child;
    // Fixed per branch for every gene node: the mean extinction over the
    // other branches, p_transfer * E, and the denominator of the P update.
    std::vector<double> extinction_mean;
    std::vector<double> transfer_extinction;
    std::vector<double> denominator;
    double extinction_sum = 0.0;

    bool is_tip(std::size_t b) const { return sp_is_leaf[b] != 0; }
};

// transfers == 1 selects reldated mode, anything else undated mode.
UndatedExtinction build_undated_extinction(std::vector<std::int64_t> sp_left,
                                           std::vector<std::int64_t> sp_right,
                                           std::vector<std::uint8_t> sp_is_leaf,
                                           const std::vector<double>& sp_time,
                                           const std::vector<double>& sp_parent_time,
                                           std::uint64_t sp_root, DtlRates rates,
                                           std::uint8_t transfers);

// The mean of `values` over the branches other than b: the running total in
// undated mode, the recipient list in reldated mode.
inline double mean_over_others(const UndatedExtinction& model, const double* values,
                               double total, std::size_t b) {
    if (model.reldated) {
        const std::size_t begin = model.recipients.offsets[b];
        const std::size_t end = model.recipients.offsets[b + 1];
        if (begin == end) return 0.0;
        const std::size_t* members = model.recipients.members.data();
        double sum = 0.0;
        for (std::size_t i = begin; i < end; ++i) sum += values[members[i]];
        return sum / static_cast<double>(end - begin);
    }
    if (model.n < 2) return 0.0;
    return (total - values[b]) / (static_cast<double>(model.n) - 1.0);
}

// The species root for the root origination mode, checked against the tree.
std::size_t undated_root(const UndatedExtinction& model);

}  // namespace korvath::reconciliation
