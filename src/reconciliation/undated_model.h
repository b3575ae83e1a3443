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

// Iterative fixed points (the extinction, and the gene-node probabilities
// when transfers reach only overlapping branches) sweep until no entry
// changes by more than kRelativeTolerance of its own value: a few units in
// the last place, so the values stand at the fixed point to rounding whatever
// their magnitude. Entries below kNegligible (in the stored scale) are
// settled once they change by less than that. The sweep limits only bound
// the work of runs that converge very slowly (rates near criticality).
inline constexpr int kMaxExtinctionSweeps = 100000;
inline constexpr int kMaxSweeps = 20000;
inline constexpr double kRelativeTolerance = 4e-15;
inline constexpr double kNegligible = 2.2250738585072014e-308;  // smallest normal double

// Whether an entry that moved from `old` to `updated` has settled.
inline bool settled(double old, double updated) {
    const double change = updated - old;
    const double magnitude = change < 0.0 ? -change : change;
    const double scale = updated < 0.0 ? -updated : updated;
    // A NaN change counts as settled: it can never shrink.
    return !(magnitude > kRelativeTolerance * scale + kNegligible);
}

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

// The recipient sets of reldated mode as time intervals, for sums over every
// branch's recipients in logarithmic time. The node times of the branches
// longer than the overlap tolerance cut the time axis into elementary
// intervals; such a branch covers the intervals lo..hi. The recipients of a
// are the other branches that cover interval lo[a] together with those that
// start within lo[a]+1 .. hi[a]: two disjoint sets, so a sum over them is a
// sum over the branches covering one interval (a segment tree) plus a sum
// over a range of branches sorted by their first interval. Valid only when
// these sets are exactly the recipient lists (checked when it is built).
struct OverlapIndex {
    bool valid = false;
    std::size_t intervals = 0;                 // elementary intervals
    std::vector<std::size_t> spanning;         // branches longer than the tolerance
    std::vector<std::size_t> lo, hi;           // per branch (spanning ones only)
    std::vector<std::size_t> by_start;         // spanning branches by (lo, index)
    std::vector<std::size_t> later_begin;      // per branch: range in by_start of the
    std::vector<std::size_t> later_end;        //   branches starting in lo+1 .. hi
    std::vector<double> count;                 // per branch: number of recipients
};

// Sums over every branch's recipients through an OverlapIndex, for values
// of type T (a double, or a vector of lanes): `build` takes a snapshot of
// the values; `others(z, own)` is then the sum over z's recipients, formed
// as the sum over the branches covering z's first interval plus the sum
// over those starting later within its span, less z's own value `own`
// (which the first sum holds). All partial sums add non-negative terms for
// probabilities; the one subtraction takes away z's own share.
template <class T>
class IntervalSums {
public:
    void build(const OverlapIndex& index, const T* values, const T& zero) {
        const std::size_t intervals = index.intervals;
        const std::size_t starts = index.by_start.size();
        covering_.assign(2 * intervals, zero);
        for (std::size_t b : index.spanning) {
            std::size_t l = index.lo[b] + intervals;
            std::size_t r = index.hi[b] + 1 + intervals;
            for (; l < r; l >>= 1, r >>= 1) {
                if (l & 1) {
                    covering_[l] = covering_[l] + values[b];
                    ++l;
                }
                if (r & 1) {
                    --r;
                    covering_[r] = covering_[r] + values[b];
                }
            }
        }
        later_.assign(2 * starts, zero);
        for (std::size_t i = 0; i < starts; ++i) later_[starts + i] = values[index.by_start[i]];
        for (std::size_t i = starts; i-- > 1;) later_[i] = later_[2 * i] + later_[2 * i + 1];
    }

    T others(const OverlapIndex& index, std::size_t z, const T& own, const T& zero) const {
        T covering = zero;
        for (std::size_t i = index.lo[z] + index.intervals; i >= 1; i >>= 1) {
            covering = covering + covering_[i];
        }
        const std::size_t starts = index.by_start.size();
        T later = zero;
        std::size_t l = index.later_begin[z] + starts;
        std::size_t r = index.later_end[z] + starts;
        for (; l < r; l >>= 1, r >>= 1) {
            if (l & 1) {
                later = later + later_[l];
                ++l;
            }
            if (r & 1) {
                --r;
                later = later + later_[r];
            }
        }
        return (covering + later) - own;
    }

private:
    std::vector<T> covering_;  // segment tree of range additions over the intervals
    std::vector<T> later_;     // sum tree over the spanning branches in start order
};

// The two overlapping-span recipient sets of reldated mode.
RecipientSets build_recipients(const std::vector<double>& sp_time,
                               const std::vector<double>& sp_parent_time, std::size_t n);

// The overlap index of reldated mode; not valid when some node time is not
// finite or the intervals do not give exactly `sets` (ties within the
// tolerance), in which case sums run over the lists.
OverlapIndex build_overlap_index(const std::vector<double>& sp_time,
                                 const std::vector<double>& sp_parent_time,
                                 const RecipientSets& sets, std::size_t n);

struct UndatedExtinction {
    std::size_t n = 0;
    std::vector<std::int64_t> sp_left;
    std::vector<std::int64_t> sp_right;
    std::vector<std::uint8_t> sp_is_leaf;
    std::uint64_t sp_root = 0;
    bool reldated = false;
    RecipientSets recipients;  // reldated mode only
    OverlapIndex overlaps;     // reldated mode only
    double p_dup = 0.0;
    double p_transfer = 0.0;
    double p_speciation = 0.0;
    std::vector<double> extinction;

    // Checked daughters of every internal branch (0 for tips).
    std::vector<std::size_t> left_child;
    std::vector<std::size_t> right_child;
    // Every branch once, each after its daughters when the daughter links
    // hold no cycle (then `children_first` is true); index order otherwise.
    // Sweeps in this order carry a change from the tips to the root in one
    // pass, whatever the order in which the caller numbered the branches.
    std::vector<std::size_t> sweep_order;
    bool children_first = false;
    // Fixed per branch for every gene node: the mean extinction over the
    // other branches, p_transfer * E, and the denominator of the P update.
    std::vector<double> extinction_mean;
    std::vector<double> transfer_extinction;
    std::vector<double> denominator;
    double extinction_sum = 0.0;

    // Direct solve of the gene-node equation, used when `direct` is set
    // (undated mode with a children-first order, or no transfers at all).
    // With SP = sum of P the equation at z reads
    //   P[z] * solve_denominator[z] = coupling[z] * SP + w[z] + c[z],
    // w from the daughters' P. One children-first pass gives u (SP = 0) and
    // the model's own pass gives v (c = 0, SP = 1); then P = u + SP v with
    // SP = sum(u) / (1 - sum(v)).
    bool direct = false;
    std::vector<double> coupling;           // p_transfer E[z] / (n - 1)
    std::vector<double> solve_denominator;  // denominator[z] + coupling[z]
    std::vector<double> unit_response;      // v
    double unit_response_gap = 1.0;         // 1 - sum(v), positive when direct

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

// One children-first pass of the direct solve: out[z] = (w[z] + source[z]) /
// solve_denominator[z], w from out at z's daughters.
void direct_tree_pass(const UndatedExtinction& model, const double* source, double* out);

// The species root for the root origination mode, checked against the tree.
std::size_t undated_root(const UndatedExtinction& model);

}  // namespace korvath::reconciliation
