#include "reconciliation/dated_scorer.h"

#include "reconciliation/scaled_vectors.h"
#include "reconciliation/storage_budget.h"
#include "support/faults.h"
#include "support/huge_pages.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <string>
#include <utility>

namespace korvath::reconciliation {

namespace {

// What one step of a gene node reads besides its own vector.
struct StepInputs {
    double dt;
    double dup;
    double tau;          // transfer / (M - 1)
    double others;       // M - 1
    double per_other;    // 1 / (M - 1), for a family that is not one tree
    double tip_add;      // dt * 0, the speciation-free source term of a tip
    double own_sum;      // sum of the node's vector
    double left_sum;     // sums of the children's vectors
    double right_sum;
    const double* decay;
    const double* gain;
    const double* left;  // children's vectors of the same step
    const double* right;
    // A pair or kMix node that also forms a root term (kFusedSource,
    // kFusedMixSource): the root adjoint's row the step writes, the term's
    // other child's vector of the step and its sum, the root's step
    // constants, the term's four partial sums, and whether the node is the
    // term's left child.
    const double* lambda;
    const double* other;
    double other_sum;
    double root_dup;
    double root_tau;
    double* lanes;
    bool fused_left;
    // Lane sums (a family that is not one tree): the four partial sums of
    // the step's new vector, which the update adds each entry to as it is
    // written, entry k to partial sum k mod 4 (see add_lanes).
    double* step_lanes;
};

// v'_k = (v_k - dt ((decay_k v_k) - gain_k Pbar_k)) + dt sigma_k for the
// entries [begin, end), every entry from the same old vectors. Entries are
// independent, so the loop vectorises. The source: a tip's is dt * 0, a
// pair's sigma_k from its children; a kMix node's is that of its own split
// (a pair's, with the split's constants) plus the summed sources of its
// other splits, which out holds on entry.
// A pair, or a kMix node whose other splits have added their sources
// (kFusedMixSource), may also form, in the same pass, its root term's sum
// through the root's adjoint (kFusedSource, see fused_update_body).
enum Source : int { kTipSource, kPairSource, kMixSource, kFusedSource, kFusedMixSource };

// The branches alive in a step: one, or several, with the mean over the
// other branches formed by a division (a tree) or by a product with
// 1 / (M - 1) (a family that is not one tree, whose value agrees to rounding).
enum Branches : int { kOneBranch, kManyBranches, kManyBranchesPerOther };

template <int kBranches, typename T>
[[gnu::always_inline]] inline T mean_of_others(T sum_less_own, const StepInputs& in) {
    if constexpr (kBranches == kManyBranchesPerOther) return sum_less_own * in.per_other;
    return sum_less_own / in.others;
}

// What every step keeps of an entry of a node's own vector (one entry, or
// four as a vector): v_k - dt ((decay_k v_k) - gain_k Pbar_k), Pbar_k the
// mean over the other branches (0 with one branch).
template <int kBranches, typename T>
[[gnu::always_inline]] inline T kept_entry(const StepInputs& in, T vk, T decay, T gain) {
    T p_mean{};
    if constexpr (kBranches != kOneBranch) p_mean = mean_of_others<kBranches>(in.own_sum - vk, in);
    return vk - in.dt * ((decay * vk) - gain * p_mean);
}

// A split's source from one entry of its children's vectors a and b (or
// four, as a vector), with step constants dup and tau: dup a b, and with
// transfers (kMany) the transfers of either child onto the other's branch,
// from the children's sums. The same operations for a pair's step, a kMix
// node's split and a root term.
template <bool kMany, typename T>
[[gnu::always_inline]] inline T split_source(double dup, double tau, T a, T b, double sum_a,
                                             double sum_b) {
    T sigma = (dup * a) * b;
    if constexpr (kMany) sigma = sigma + ((sum_b - b) * a + (sum_a - a) * b) * tau;
    return sigma;
}

// A pair's new entry (or four, as a vector) with transfers: its kept part
// plus dt times its split's source, to which a kMix node (kMixed) adds the
// summed sources of its other splits that out held.
template <int kBranches, bool kMixed, typename T>
[[gnu::always_inline]] inline T pair_entry(const StepInputs& in, T vk, T decay, T gain, T a, T b,
                                           T summed) {
    T sigma = split_source<true>(in.dup, in.tau, a, b, in.left_sum, in.right_sum);
    if constexpr (kMixed) sigma = summed + sigma;
    return kept_entry<kBranches>(in, vk, decay, gain) + in.dt * sigma;
}

// One step of a pair that also forms its root term (kFusedSource): the
// pair's update of entries [begin, end), as update_body forms it, and in the
// same pass what the step adds to the term's four partial sums: lambda_k
// times the term's split source, formed from the pair's vector before the
// step and the term's other child's (the pair is the term's left child when
// kLeft), entry k added to partial sum k mod 4 (`begin` is a multiple of 4).
// The sums are those adjoint_sum_body forms from the stored vectors, the
// same operations in the same order. With kMixed, a kMix node's update
// (kMixSource: its other splits' sources, which out holds, added to its own
// split's) in place of a pair's.
template <bool kLeft, int kBranches, bool kMixed>
[[gnu::always_inline]] inline void fused_update_body(const StepInputs& in, std::size_t begin,
                                                     std::size_t end,
                                                     const double* __restrict v,
                                                     double* __restrict out) {
    typedef double V4 __attribute__((vector_size(32)));
    // (By reference: a vector returned by value would change the baseline
    // build's calling convention.)
    auto load = [](V4& x, const double* p) { __builtin_memcpy(&x, p, sizeof x); };
    const double* __restrict decay = in.decay;
    const double* __restrict gain = in.gain;
    const double* __restrict a = in.left;
    const double* __restrict b = in.right;
    const double* __restrict lambda = in.lambda;
    const double* __restrict o = in.other;
    // The term's children as adjoint_sum_body's a and b, and their sums.
    const double sum_a = kLeft ? in.own_sum : in.other_sum;
    const double sum_b = kLeft ? in.other_sum : in.own_sum;
    constexpr bool kSums = kBranches == kManyBranchesPerOther;
    V4 lanes, sums{};
    __builtin_memcpy(&lanes, in.lanes, sizeof lanes);
    if constexpr (kSums) __builtin_memcpy(&sums, in.step_lanes, sizeof sums);
    std::size_t k = begin;
    for (; k + 4 <= end; k += 4) {
        V4 vk, dk, gk, ak, bk, ok, lk;
        load(vk, v + k);
        load(dk, decay + k);
        load(gk, gain + k);
        load(ak, a + k);
        load(bk, b + k);
        load(ok, o + k);
        load(lk, lambda + k);
        V4 summed{};
        if constexpr (kMixed) load(summed, out + k);
        const V4 next = pair_entry<kBranches, kMixed>(in, vk, dk, gk, ak, bk, summed);
        __builtin_memcpy(out + k, &next, sizeof next);
        if constexpr (kSums) sums = sums + next;
        const V4 ra = kLeft ? vk : ok;
        const V4 rb = kLeft ? ok : vk;
        lanes = lanes + lk * split_source<true>(in.root_dup, in.root_tau, ra, rb, sum_a, sum_b);
    }
    for (; k < end; ++k) {
        const double vk = v[k];
        out[k] = pair_entry<kBranches, kMixed>(in, vk, decay[k], gain[k], a[k], b[k],
                                               kMixed ? out[k] : 0.0);
        if constexpr (kSums) sums[k & 3] = sums[k & 3] + out[k];
        const double ra = kLeft ? vk : o[k];
        const double rb = kLeft ? o[k] : vk;
        lanes[k & 3] = lanes[k & 3] + lambda[k] * split_source<true>(in.root_dup, in.root_tau,
                                                                      ra, rb, sum_a, sum_b);
    }
    __builtin_memcpy(in.lanes, &lanes, sizeof lanes);
    if constexpr (kSums) __builtin_memcpy(in.step_lanes, &sums, sizeof sums);
}

// A step of a family that is not one tree (lane sums): update_body's
// entries, four at a time, each added to the new vector's partial sums as it
// is written, the same sums add_lanes forms from the written vector.
template <int kSource>
[[gnu::always_inline]] inline void lane_update_body(const StepInputs& in, std::size_t begin,
                                                    std::size_t end, const double* __restrict v,
                                                    double* __restrict out) {
    typedef double V4 __attribute__((vector_size(32)));
    auto load = [](V4& x, const double* p) { __builtin_memcpy(&x, p, sizeof x); };
    constexpr int kBranches = kManyBranchesPerOther;
    constexpr bool kMixed = kSource == kMixSource;
    const double* __restrict decay = in.decay;
    const double* __restrict gain = in.gain;
    const double* __restrict a = in.left;
    const double* __restrict b = in.right;
    V4 sums;
    __builtin_memcpy(&sums, in.step_lanes, sizeof sums);
    std::size_t k = begin;
    for (; k + 4 <= end; k += 4) {
        V4 vk, dk, gk, next;
        load(vk, v + k);
        load(dk, decay + k);
        load(gk, gain + k);
        if constexpr (kSource != kTipSource) {
            V4 ak, bk, summed{};
            load(ak, a + k);
            load(bk, b + k);
            if constexpr (kMixed) load(summed, out + k);
            next = pair_entry<kBranches, kMixed>(in, vk, dk, gk, ak, bk, summed);
        } else {
            next = kept_entry<kBranches>(in, vk, dk, gk) + in.tip_add;
        }
        __builtin_memcpy(out + k, &next, sizeof next);
        sums = sums + next;
    }
    for (; k < end; ++k) {
        if constexpr (kSource != kTipSource) {
            out[k] = pair_entry<kBranches, kMixed>(in, v[k], decay[k], gain[k], a[k], b[k],
                                                   kMixed ? out[k] : 0.0);
        } else {
            out[k] = kept_entry<kBranches>(in, v[k], decay[k], gain[k]) + in.tip_add;
        }
        sums[k & 3] = sums[k & 3] + out[k];
    }
    __builtin_memcpy(in.step_lanes, &sums, sizeof sums);
}

template <int kSource, int kBranches>
[[gnu::always_inline]] inline void update_body(const StepInputs& in, std::size_t begin,
                                               std::size_t end, const double* __restrict v,
                                               double* __restrict out) {
    const double* __restrict decay = in.decay;
    const double* __restrict gain = in.gain;
    const double* __restrict a = in.left;
    const double* __restrict b = in.right;
    const double dt = in.dt;
    constexpr bool kMany = kBranches != kOneBranch;
    if constexpr ((kSource == kFusedSource || kSource == kFusedMixSource) && kMany) {
        constexpr bool kMixed = kSource == kFusedMixSource;
        if (in.fused_left) {
            fused_update_body<true, kBranches, kMixed>(in, begin, end, v, out);
        } else {
            fused_update_body<false, kBranches, kMixed>(in, begin, end, v, out);
        }
        return;
    }
    if constexpr (kBranches == kManyBranchesPerOther) {
        lane_update_body<kSource>(in, begin, end, v, out);
        return;
    }
    for (std::size_t k = begin; k < end; ++k) {
        const double kept = kept_entry<kBranches>(in, v[k], decay[k], gain[k]);
        if constexpr (kSource != kTipSource) {
            double sigma =
                split_source<kMany>(in.dup, in.tau, a[k], b[k], in.left_sum, in.right_sum);
            if constexpr (kSource == kMixSource || kSource == kFusedMixSource) {
                sigma = out[k] + sigma;
            }
            out[k] = kept + dt * sigma;
        } else {
            out[k] = kept + in.tip_add;
        }
    }
}

using UpdateFn = void (*)(const StepInputs&, std::size_t, std::size_t, const double*, double*);

// The same loop built for the baseline instruction set and for 256-bit
// vectors, chosen at run time. Entries are independent and every operation
// is an IEEE add, subtract, multiply or divide (no contraction into fused
// multiply-add), so both give the same bits.
template <int kSource, int kBranches>
void update_entries(const StepInputs& in, std::size_t begin, std::size_t end, const double* v,
                    double* out) {
    update_body<kSource, kBranches>(in, begin, end, v, out);
}

template <int kSource, int kBranches>
__attribute__((target("avx2"))) void update_entries_avx2(const StepInputs& in, std::size_t begin,
                                                         std::size_t end, const double* v,
                                                         double* out) {
    update_body<kSource, kBranches>(in, begin, end, v, out);
}

template <int kSource, int kBranches>
UpdateFn pick_isa() {
    return wide_vectors() ? update_entries_avx2<kSource, kBranches>
                          : update_entries<kSource, kBranches>;
}

template <int kSource>
UpdateFn pick_source(Branches branches) {
    if (branches == kManyBranchesPerOther) return pick_isa<kSource, kManyBranchesPerOther>();
    if (branches == kManyBranches) return pick_isa<kSource, kManyBranches>();
    return pick_isa<kSource, kOneBranch>();
}

UpdateFn pick_update(Source source, Branches branches) {
    if (source == kFusedSource) return pick_source<kFusedSource>(branches);
    if (source == kFusedMixSource) return pick_source<kFusedMixSource>(branches);
    if (source == kMixSource) return pick_source<kMixSource>(branches);
    return source == kPairSource ? pick_source<kPairSource>(branches)
                                 : pick_source<kTipSource>(branches);
}

// One step of `Count` nodes (two or more branches alive): each node's entries
// block by block, and right behind them each node's in-order sum of its new
// vector, which the next step needs. The sums are chains of dependent
// additions; running the nodes' chains in one loop lets them overlap.
template <std::size_t Count>
void group_step(const StepInputs* in, const UpdateFn* update, std::size_t width,
                const double* const* v, double* const* out, double* sums) {
    constexpr std::size_t kBlock = 64;
    double sum[Count] = {};
    for (std::size_t begin = 0; begin < width; begin += kBlock) {
        const std::size_t end = begin + kBlock < width ? begin + kBlock : width;
        for (std::size_t i = 0; i < Count; ++i) update[i](in[i], begin, end, v[i], out[i]);
        for (std::size_t k = begin; k < end; ++k) {
            for (std::size_t i = 0; i < Count; ++i) sum[i] += out[i][k];
        }
    }
    for (std::size_t i = 0; i < Count; ++i) sums[i] = sum[i];
}

// Each node's in-order sum of its vector, the nodes' chains side by side.
template <std::size_t Count>
void group_sums(double* const* v, std::size_t width, double* sums) {
    double sum[Count] = {};
    for (std::size_t k = 0; k < width; ++k) {
        for (std::size_t i = 0; i < Count; ++i) sum[i] += v[i][k];
    }
    for (std::size_t i = 0; i < Count; ++i) sums[i] = sum[i];
}

// Lane sums, for families other than one tree: a vector's sum as four
// interleaved partial sums, entry k in partial sum k mod 4, added up as
// (s0 + s1) + (s2 + s3). The same value as the in-order sum but for
// rounding, in a quarter of the dependent additions.
typedef double LaneSums __attribute__((vector_size(32)));

// Adds entries [begin, end) of each of `Count` vectors to its lanes, the
// vectors' chains side by side; `begin` is a multiple of 4. The last few
// entries come as one vector padded with zeros, which leave the other lanes
// as they are.
template <std::size_t Count>
[[gnu::always_inline]] inline void add_lanes(LaneSums* lanes, const double* const* v,
                                             std::size_t begin, std::size_t end) {
    std::size_t k = begin;
    for (; k + 4 <= end; k += 4) {
        for (std::size_t i = 0; i < Count; ++i) {
            LaneSums x;
            __builtin_memcpy(&x, v[i] + k, sizeof x);
            lanes[i] = lanes[i] + x;
        }
    }
    if (k < end) {
        const std::size_t rest = end - k;
        for (std::size_t i = 0; i < Count; ++i) {
            const double* p = v[i] + k;
            const LaneSums x = {p[0], rest > 1 ? p[1] : 0.0, rest > 2 ? p[2] : 0.0, 0.0};
            lanes[i] = lanes[i] + x;
        }
    }
}

inline double fold_lanes(const LaneSums& lanes) {
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

template <std::size_t Count>
[[gnu::always_inline]] inline void group_step_lanes_body(const StepInputs* in,
                                                         const UpdateFn* update,
                                                         std::size_t width,
                                                         const double* const* v,
                                                         double* const* out, double* sums) {
    // The sums are formed inside each node's update, four partial sums at
    // once, so the nodes need not go block by block as in-order sums do:
    // each node's whole step in one pass streams its vectors once.
    for (std::size_t i = 0; i < Count; ++i) {
        std::fill(in[i].step_lanes, in[i].step_lanes + 4, 0.0);
        update[i](in[i], 0, width, v[i], out[i]);
    }
    for (std::size_t i = 0; i < Count; ++i) {
        LaneSums lanes;
        __builtin_memcpy(&lanes, in[i].step_lanes, sizeof lanes);
        sums[i] = fold_lanes(lanes);
    }
}

template <std::size_t Count>
[[gnu::always_inline]] inline void group_sums_lanes_body(double* const* v, std::size_t width,
                                                         double* sums) {
    LaneSums lanes[Count] = {};
    add_lanes<Count>(lanes, v, 0, width);
    for (std::size_t i = 0; i < Count; ++i) sums[i] = fold_lanes(lanes[i]);
}

// Built for the baseline instruction set and for 256-bit vectors, chosen at
// run time: the same operations in the same order.
template <std::size_t Count>
void group_step_lanes(const StepInputs* in, const UpdateFn* update, std::size_t width,
                      const double* const* v, double* const* out, double* sums) {
    group_step_lanes_body<Count>(in, update, width, v, out, sums);
}

template <std::size_t Count>
__attribute__((target("avx2"))) void group_step_lanes_avx2(const StepInputs* in,
                                                           const UpdateFn* update,
                                                           std::size_t width,
                                                           const double* const* v,
                                                           double* const* out, double* sums) {
    group_step_lanes_body<Count>(in, update, width, v, out, sums);
}

template <std::size_t Count>
void group_sums_lanes(double* const* v, std::size_t width, double* sums) {
    group_sums_lanes_body<Count>(v, width, sums);
}

template <std::size_t Count>
__attribute__((target("avx2"))) void group_sums_lanes_avx2(double* const* v, std::size_t width,
                                                           double* sums) {
    group_sums_lanes_body<Count>(v, width, sums);
}

using GroupStep = void (*)(const StepInputs*, const UpdateFn*, std::size_t, const double* const*,
                           double* const*, double*);
constexpr std::size_t kGroup = 4;
// Indexed by the sums: in order, lane sums, lane sums on 256-bit vectors.
constexpr GroupStep kGroupSteps[3][kGroup + 1] = {
    {nullptr, group_step<1>, group_step<2>, group_step<3>, group_step<4>},
    {nullptr, group_step_lanes<1>, group_step_lanes<2>, group_step_lanes<3>,
     group_step_lanes<4>},
    {nullptr, group_step_lanes_avx2<1>, group_step_lanes_avx2<2>, group_step_lanes_avx2<3>,
     group_step_lanes_avx2<4>}};
using GroupSums = void (*)(double* const*, std::size_t, double*);
constexpr GroupSums kGroupSums[3][kGroup + 1] = {
    {nullptr, group_sums<1>, group_sums<2>, group_sums<3>, group_sums<4>},
    {nullptr, group_sums_lanes<1>, group_sums_lanes<2>, group_sums_lanes<3>,
     group_sums_lanes<4>},
    {nullptr, group_sums_lanes_avx2<1>, group_sums_lanes_avx2<2>, group_sums_lanes_avx2<3>,
     group_sums_lanes_avx2<4>}};

}  // namespace

// Slice by slice is the same computation as node by node only when every
// value a parent reads at a slice start from its children is final by then:
// the tops of the daughters of a species branch ending there. A daughter
// alive at or before the slice in which its parent branch ends (a species
// tree whose times contradict its shape) makes the order matter.
static bool daughters_start_where_parents_end(const DatedExtinction& model) {
    std::vector<std::size_t> first_slice(model.n, model.slices.size());
    for (std::size_t s = model.slices.size(); s-- > 0;) {
        for (std::size_t b : model.slices[s].branches) first_slice[b] = s;
    }
    for (std::size_t s = 0; s < model.slices.size(); ++s) {
        for (const BranchEnd& end : model.slices[s].ends) {
            if (end.tip) continue;
            if (first_slice[end.left] <= s || first_slice[end.right] <= s) return false;
        }
    }
    return true;
}

DatedScorer::DatedScorer(const DatedExtinction& model)
    : model_(model), whole_histories_(!daughters_start_where_parents_end(model)) {
    shape_order_ = !whole_histories_;
    first_slice_.assign(model.n, model.slices.size());
    for (std::size_t s = model.slices.size(); s-- > 0;) {
        for (std::size_t b : model.slices[s].branches) first_slice_[b] = s;
    }
    tops_born_.resize(model.slices.size());
    for (std::size_t s = 0; s < model.slices.size(); ++s) {
        const std::vector<std::size_t>& branches = model.slices[s].branches;
        for (std::size_t k = 0; k < branches.size(); ++k) {
            if (first_slice_[branches[k]] == s) tops_born_[s].push_back({branches[k], k});
        }
    }
    hold_window(0);
    plan_tops();
}
DatedScorer::~DatedScorer() = default;

// The entry of branch b in slice s, or kNoTopEntry.
static std::size_t entry_in(const TimeSlice& slice, std::size_t b) {
    const auto it = std::lower_bound(slice.branches.begin(), slice.branches.end(), b);
    if (it == slice.branches.end() || *it != b) return kNoTopEntry;
    return static_cast<std::size_t>(it - slice.branches.begin());
}

// The runs of `tops.read` (see SliceTopsMap), kept when there are at most a
// quarter as many runs as entries.
static void find_read_runs(SliceTopsMap& tops) {
    const std::vector<std::size_t>& read = tops.read;
    tops.read_runs.clear();
    for (std::size_t k = 0; k < read.size(); ++k) {
        const bool continues =
            k > 0 && (read[k - 1] == kNoTopEntry ? read[k] == kNoTopEntry
                                                 : read[k] != kNoTopEntry && read[k] == read[k - 1] + 1);
        if (!continues) tops.read_runs.push_back(k);
    }
    tops.read_runs.push_back(read.size());
    if (4 * (tops.read_runs.size() - 1) > read.size()) tops.read_runs.clear();
}

// Both layouts' maps. The compact one applies when the slices are taken one
// at a time and every top a slice start reads was written by the slice
// integrated just before: a branch alive in the slice was alive there too,
// or in no earlier slice (its alive slices are contiguous), and a daughter
// of a branch ending at the slice start is alive there or nowhere.
void DatedScorer::plan_tops() {
    const DatedExtinction& m = model_;
    const std::size_t count = m.slices.size();
    branch_tops_.assign(count, SliceTopsMap{});
    compact_tops_.assign(count, SliceTopsMap{});
    compact_possible_ = shape_order_;
    carry_width_ = 0;
    std::size_t previous = kNoTopEntry;
    std::size_t parity = 0;
    for (std::size_t s = count; s-- > 0;) {
        const TimeSlice& slice = m.slices[s];
        const std::size_t width = slice.width();
        if (width == 0) continue;
        SliceTopsMap& wide = branch_tops_[s];
        wide.read = slice.branches;
        wide.write = slice.branches;
        SliceTopsMap& tight = compact_tops_[s];
        tight.parity = parity;
        tight.previous_width = previous == kNoTopEntry ? 0 : m.slices[previous].width();
        tight.read.resize(width);
        tight.write.resize(width);
        for (std::size_t k = 0; k < width; ++k) {
            tight.read[k] = previous == kNoTopEntry
                                ? kNoTopEntry
                                : entry_in(m.slices[previous], slice.branches[k]);
            tight.write[k] = k;
        }
        tight.write_in_order = true;
        auto daughter = [&](std::size_t d) {
            const std::size_t e =
                previous == kNoTopEntry ? kNoTopEntry : entry_in(m.slices[previous], d);
            if (e == kNoTopEntry && d < first_slice_.size() && first_slice_[d] != count) {
                compact_possible_ = false;
            }
            return e;
        };
        for (const BranchEnd& end : slice.ends) {
            if (!end.tip) {
                // A daughter may be alive in the slice itself (a species tree
                // whose times contradict its shape): each branch is listed
                // once, as a top shifted in place must be shifted once.
                for (std::size_t d : {end.left, end.right}) {
                    if (std::find(wide.daughters.begin(), wide.daughters.end(), d) ==
                        wide.daughters.end()) {
                        wide.daughters.push_back(d);
                    }
                }
            }
            wide.end_left.push_back(end.tip ? 0 : end.left);
            wide.end_right.push_back(end.tip ? 0 : end.right);
            tight.end_left.push_back(end.tip ? kNoTopEntry : daughter(end.left));
            tight.end_right.push_back(end.tip ? kNoTopEntry : daughter(end.right));
        }
        wide.own_reads = slice.branches;
        for (std::size_t d : wide.daughters) {
            if (!std::binary_search(slice.branches.begin(), slice.branches.end(), d)) {
                wide.own_reads.push_back(d);
            }
        }
        find_read_runs(wide);
        find_read_runs(tight);
        carry_width_ = std::max(carry_width_, width);
        previous = s;
        parity ^= 1;
    }
}

double* DatedScorer::current_tops(std::size_t g, std::size_t s) {
    if (!compact_) return p_top_.data() + g * model_.n;
    const SliceTopsMap& tops = compact_tops_[s];
    return carries_.data() + tops.parity * carry_half_ + position_[g] * model_.slices[s].width();
}

double* DatedScorer::previous_tops(std::size_t g, std::size_t s) {
    if (!compact_) return p_top_.data() + g * model_.n;
    const SliceTopsMap& tops = compact_tops_[s];
    return carries_.data() + (1 - tops.parity) * carry_half_ +
           position_[g] * tops.previous_width;
}

// Whether a positive value multiplied by 2^exponent would exceed 2^limit.
static bool raised_past(double value, std::int64_t exponent, int limit) {
    if (!(value > 0.0)) return false;
    int top = 0;
    std::frexp(value, &top);
    return top + exponent > limit;
}

// Per-branch layout: node g's top of branch b in the scale 2^scale.
double DatedScorer::top_in(std::size_t g, std::size_t b, std::int64_t scale) const {
    const std::size_t i = g * model_.n + b;
    return p_top_[i] == 0.0 ? 0.0 : ldexp_wide(p_top_[i], top_exponent_[i] - scale);
}

// Per-branch layout: the scale in which node g's tops of `branches` are read:
// `preferred` (the node's), unless one of them would come within 2^kScaleLimit
// of the largest double there (of its square root, for tops multiplied by
// another node's); then the largest of their own scales, which brings every
// other one down. The scale only changes how the values are held: their
// readers bring what they form to their own scale.
std::int64_t DatedScorer::read_scale(std::size_t g, const std::size_t* branches,
                                     std::size_t count, std::int64_t preferred,
                                     bool for_products) const {
    const int limit = for_products ? (1024 - kScaleLimit) / 2 : 1024 - kScaleLimit;
    std::int64_t largest = std::numeric_limits<std::int64_t>::min();
    bool fits = true;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = g * model_.n + branches[k];
        if (p_top_[i] == 0.0 || !std::isfinite(p_top_[i])) continue;
        fits = fits && !raised_past(std::fabs(p_top_[i]), top_exponent_[i] - preferred, limit);
        largest = std::max(largest, top_exponent_[i]);
    }
    return fits ? preferred : largest;
}

void DatedScorer::read_tops(std::size_t g, const std::size_t* branches, std::size_t count,
                            std::int64_t scale, double* out) const {
    for (std::size_t k = 0; k < count; ++k) out[branches[k]] = top_in(g, branches[k], scale);
}

// Node g's top of the root's left (0) or right (1) daughter, once every slice is done.
double DatedScorer::root_daughter_top(std::size_t g, std::size_t which) const {
    if (!compact_) return p_top_[g * model_.n + daughter_[which]];
    return daughter_tops_[2 * g + which];
}

std::size_t DatedScorer::top_spans(std::size_t g, std::size_t s, bool current, TopSpan* spans) {
    if (!compact_) {
        spans[0] = {p_top_.data() + g * model_.n, model_.n};
        return 1;
    }
    std::size_t count = 0;
    if (current) spans[count++] = {current_tops(g, s), model_.slices[s].width()};
    spans[count++] = {previous_tops(g, s), compact_tops_[s].previous_width};
    if (keep_daughter_tops_) spans[count++] = {daughter_tops_.data() + 2 * g, 2};
    return count;
}

// Multiplies every value of the spans by 2^exponent (ldexp_wide).
void DatedScorer::shift_spans(const TopSpan* spans, std::size_t count, std::int64_t exponent) {
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t b = 0; b < spans[k].count; ++b) {
            spans[k].values[b] = ldexp_wide(spans[k].values[b], exponent);
        }
    }
}

namespace {

// What the slice-by-slice work of one gene node reads and writes.
struct NodeWork {
    bool internal;
    bool mix;                  // a kMix node
    bool summed;               // kMix: its other splits' sources of the slice are in its rows
    double mix_dup, mix_tau;   // kMix: its own split's step constants, weighted and scaled
    const double* split_sums;  // kMix: its splits' speciation terms, per end
    std::int64_t species;      // a tip's species branch
    const double* previous;    // the node's P at the tops the slice starts from
    double* current;           // and where the slice leaves its tops
    const double* left_previous;  // the children's, for an internal node
    const double* right_previous;
    double* rows;              // the node's vectors of the slice
    double* sums;
    const double* left_rows;   // the children's vectors of the same slice
    const double* left_sums;
    const double* right_rows;
    const double* right_sums;
    // The node's scale over its children's product: the step's terms built
    // from one value of each child's vectors are multiplied by
    // 2^-source_shift, the speciation split from the children's values at
    // the branch tops by 2^-split_shift (both exactly).
    int source_shift;
    std::int64_t split_shift;
    // A pair or kMix node forming its root term's sum in its steps (more
    // than one branch alive): the root adjoint's rows of the slice, the other
    // child's vectors and sums, the term's partial sums.
    const double* fused_lambda = nullptr;
    const double* fused_rows = nullptr;
    const double* fused_sums = nullptr;
    double* fused_lanes = nullptr;
    bool fused_left = false;
};

// P at the later boundary of a slice: carried over from the later slice for
// branches that continue, and for branches ending there the tip indicator or
// the speciation terms (one daughter lost, or the two children split).
inline double top_at(const double* tops, std::size_t i) {
    return i == kNoTopEntry ? 0.0 : tops[i];
}

// The speciation at end e of a slice (not a tip) splitting two children,
// from their values at the slice's start: either child in either daughter.
inline double end_split(const SliceTopsMap& tops, std::size_t e, const double* left,
                        const double* right) {
    const std::size_t fi = tops.end_left[e];
    const std::size_t hi = tops.end_right[e];
    return top_at(left, hi) * top_at(right, fi) + top_at(left, fi) * top_at(right, hi);
}

void start_slice(const DatedExtinction& m, const TimeSlice& slice, const SliceTopsMap& tops,
                 const NodeWork& node, double* rows) {
    const double* previous = node.previous;
    if (tops.read_runs.empty()) {
        for (std::size_t k = 0; k < slice.width(); ++k) rows[k] = top_at(previous, tops.read[k]);
    } else {
        for (std::size_t i = 0; i + 1 < tops.read_runs.size(); ++i) {
            const std::size_t begin = tops.read_runs[i];
            const std::size_t end = tops.read_runs[i + 1];
            const std::size_t from = tops.read[begin];
            if (from == kNoTopEntry) {
                std::fill(rows + begin, rows + end, 0.0);
            } else {
                std::copy(previous + from, previous + from + (end - begin), rows + begin);
            }
        }
    }
    for (std::size_t e = 0; e < slice.ends.size(); ++e) {
        const BranchEnd& end = slice.ends[e];
        double v;
        if (end.tip) {
            v = (!node.internal && node.species == static_cast<std::int64_t>(end.branch)) ? 1.0 : 0.0;
        } else {
            const std::size_t f = end.left;
            const std::size_t h = end.right;
            const std::size_t fi = tops.end_left[e];
            const std::size_t hi = tops.end_right[e];
            v = m.e_top[f] * top_at(previous, hi) + m.e_top[h] * top_at(previous, fi);
            if (node.internal) {
                double split = end_split(tops, e, node.left_previous, node.right_previous);
                if (node.split_shift != 0) split = ldexp_wide(split, -node.split_shift);
                v = v + split;
            } else if (node.mix) {
                v = v + node.split_sums[e];
            }
        }
        rows[end.entry] = v;
    }
}

// The backward steps of slice s for `count` nodes side by side, recording
// the slice's vectors and the sums the steps read in each node's slot, then
// P at the top of the slice's branches. Each node's arithmetic is exactly
// that of the node alone. With `lane_sums` (a family that is not one tree),
// the vectors' sums are lane sums and the means over the other branches are
// products with 1 / (M - 1).
void run_slice(const DatedExtinction& m, std::size_t s, const SliceTopsMap& tops,
               const NodeWork* nodes, std::size_t count, bool lane_sums) {
    const TimeSlice& slice = m.slices[s];
    const std::size_t width = slice.width();
    const std::size_t steps = static_cast<std::size_t>(slice.steps);
    const std::size_t row_base = 0;
    const std::size_t sum_base = 0;
    const bool many = width >= 2;

    StepInputs in[kGroup] = {};
    UpdateFn update[kGroup] = {};
    double* rows[kGroup] = {};
    double next_sum[kGroup] = {};
    double step_lanes[kGroup][4] = {};
    for (std::size_t i = 0; i < count; ++i) {
        const NodeWork& node = nodes[i];
        rows[i] = node.rows + row_base;
        start_slice(m, slice, tops, node, rows[i]);
        const Source source =
            node.mix ? (node.fused_lanes ? (node.summed ? kFusedMixSource : kFusedSource)
                                         : (node.summed ? kMixSource : kPairSource))
            : node.fused_lanes ? kFusedSource
            : node.internal    ? kPairSource
                               : kTipSource;
        update[i] = pick_update(source, !many         ? kOneBranch
                                       : lane_sums ? kManyBranchesPerOther
                                                   : kManyBranches);
        if (node.fused_lanes) {
            in[i].root_dup = m.dup;
            in[i].root_tau = m.transfer / (static_cast<double>(width) - 1.0);
            in[i].lanes = node.fused_lanes;
            in[i].fused_left = node.fused_left;
        }
        in[i].dt = slice.dt;
        in[i].dup = m.dup;
        in[i].others = static_cast<double>(width) - 1.0;
        in[i].per_other = 1.0 / in[i].others;
        in[i].tau = many ? m.transfer / in[i].others : 0.0;
        if (node.source_shift != 0) {
            in[i].dup = ldexp_wide(in[i].dup, -node.source_shift);
            in[i].tau = ldexp_wide(in[i].tau, -node.source_shift);
        }
        if (node.mix) {
            in[i].dup = node.mix_dup;
            in[i].tau = node.mix_tau;
        }
        in[i].tip_add = slice.dt * 0.0;
        in[i].step_lanes = step_lanes[i];
    }
    const std::size_t sum_kind = lane_sums ? (wide_vectors() ? 2 : 1) : 0;
    if (many) kGroupSums[sum_kind][count](rows, width, next_sum);
    for (std::size_t j = 0; j < steps; ++j) {
        const double* v[kGroup] = {};
        double* out[kGroup] = {};
        for (std::size_t i = 0; i < count; ++i) {
            const NodeWork& node = nodes[i];
            if (many) {
                in[i].own_sum = next_sum[i];
                node.sums[sum_base + j] = next_sum[i];
                if (node.internal || node.mix) {
                    in[i].left_sum = node.left_sums[sum_base + j];
                    in[i].right_sum = node.right_sums[sum_base + j];
                }
            }
            in[i].decay = slice.decay.data() + j * width;
            in[i].gain = slice.gain.data() + j * width;
            if (node.fused_lanes) {
                in[i].lambda = node.fused_lambda + (j + 1) * width;
                in[i].other = node.fused_rows + j * width;
                in[i].other_sum = node.fused_sums[j];
            }
            if (node.internal || node.mix) {
                in[i].left = node.left_rows + row_base + j * width;
                in[i].right = node.right_rows + row_base + j * width;
            }
            v[i] = rows[i] + j * width;
            out[i] = rows[i] + (j + 1) * width;
        }
        if (many) {
            kGroupSteps[sum_kind][count](in, update, width, v, out, next_sum);
        } else {
            for (std::size_t i = 0; i < count; ++i) update[i](in[i], 0, width, v[i], out[i]);
        }
    }

    for (std::size_t i = 0; i < count; ++i) {
        const double* last = rows[i] + steps * width;
        double* current = nodes[i].current;
        if (tops.write_in_order) {
            std::copy(last, last + width, current);
        } else {
            for (std::size_t k = 0; k < width; ++k) current[tops.write[k]] = last[k];
        }
    }
}

}  // namespace

// The graph node of a tip on species branch `species`: a tip's vectors
// depend on its branch alone (the same start, steps and rescaling), so every
// tip on one branch is one node, integrated once and read by each parent of
// such a tip. `tip_of_species` holds each branch's node so far (none: a
// node of its own).
std::size_t DatedScorer::tip_node(std::int64_t species, std::vector<std::size_t>* tip_of_species) {
    const auto branch = static_cast<std::size_t>(species);
    const bool listed = tip_of_species != nullptr && branch < tip_of_species->size();
    if (listed && (*tip_of_species)[branch] != kNoTopEntry) return (*tip_of_species)[branch];
    if (listed) (*tip_of_species)[branch] = graph_.size();
    graph_.add(kTip, species, 0, 0);
    return graph_.size() - 1;
}

// Checks every internal node's children in node order (inside the tree,
// before their parent, and used by no other parent), and takes the tree as
// the scorer's graph, with `share_tips` its tips on one species branch as one node.
void DatedScorer::check_tree(const GeneTree& tree, bool share_tips) {
    const std::size_t size = tree.size();
    const std::size_t none = size;
    std::vector<std::size_t> parent(size, none);
    graph_ = Graph{};
    std::vector<std::size_t> node_of(size, 0);
    std::vector<std::size_t> tip_of_species(share_tips ? model_.n : 0, kNoTopEntry);
    for (std::size_t g = 0; g < size; ++g) {
        if (tree.is_tip(g)) {
            // The last node is the root, whatever else shares its branch.
            node_of[g] = tip_node(tree.species[g], g + 1 < size ? &tip_of_species : nullptr);
            continue;
        }
        const std::size_t c1 = gene_child(tree, g, tree.left[g]);
        const std::size_t c2 = gene_child(tree, g, tree.right[g]);
        for (const std::size_t c : {c1, c2}) {
            if (parent[c] == g) continue;  // both children the same node
            if (parent[c] != none) {
                fault("gene node " + std::to_string(g) +
                      " has a child whose history was already used by another parent");
            }
            parent[c] = g;
        }
        node_of[g] = graph_.size();
        graph_.add(kPair, -1, node_of[c1], node_of[c2]);
    }
    graph_.term_begin.push_back(0);
}

// Each node's distinct inputs not yet done, and its readers.
void DatedScorer::link_graph() {
    const std::size_t size = graph_.size();
    missing_.assign(size, 0);
    unread_.assign(size, 0);
    std::vector<std::size_t> inputs;
    std::vector<std::vector<std::size_t>> readers(size);
    for (std::size_t g = 0; g < size; ++g) {
        graph_.inputs(g, inputs);
        for (std::size_t c : inputs) {
            readers[c].push_back(g);
            ++unread_[c];
        }
        missing_[g] = inputs.size();
    }
    reader_begin_.assign(1, 0);
    readers_.clear();
    for (const auto& list : readers) {
        readers_.insert(readers_.end(), list.begin(), list.end());
        reader_begin_.push_back(readers_.size());
    }
}

// The order in which the nodes are integrated, the same in every slice:
// groups of up to kGroup nodes whose inputs are done, and for each node a
// slot for its vectors of the current slice, held until the last node
// reading it is scheduled. A node is due when its first reader is (a root
// term, which only adds to the root, when it is itself): so a tip, or any
// node, is integrated just before the node that first reads it, wherever
// the graph lists it. (A graph listing all its tips first would otherwise
// hold every tip's vectors at once.) Nodes due together go lowest index
// first, which for a tree in post-order is post-order.
void DatedScorer::plan_groups() {
    const std::size_t size = graph_.size();
    groups_.clear();
    group_start_.assign(1, 0);
    slot_.assign(size, 0);
    std::vector<std::size_t> free_slots;
    slots_ = 0;
    std::vector<std::size_t> due(size);
    for (std::size_t g = 0; g < size; ++g) {
        const auto first = readers_.begin() + static_cast<std::ptrdiff_t>(reader_begin_[g]);
        const auto last = readers_.begin() + static_cast<std::ptrdiff_t>(reader_begin_[g + 1]);
        const bool term = graph_.kind[g] == kRootTerm || graph_.kind[g] == kMixTerm;
        due[g] = term || first == last ? g : *std::min_element(first, last);
    }
    using Entry = std::pair<std::size_t, std::size_t>;  // (due, node)
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> ready;
    for (std::size_t g = 0; g < size; ++g) {
        if (missing_[g] == 0) ready.emplace(due[g], g);
    }
    std::vector<std::size_t> inputs;
    // A kMix node's slot is taken by its first term, which adds to it.
    std::vector<std::uint8_t> slotted(size, 0);
    auto take_slot = [&](std::size_t g) {
        if (slotted[g]) return;
        slotted[g] = 1;
        if (free_slots.empty()) {
            slot_[g] = slots_++;
        } else {
            slot_[g] = free_slots.back();
            free_slots.pop_back();
        }
    };
    while (!ready.empty()) {
        const std::size_t first = groups_.size();
        std::size_t integrated = 0;  // the root's and kMix nodes' terms take no place in the group
        while (integrated < kGroup && !ready.empty()) {
            const std::size_t g = ready.top().second;
            ready.pop();
            if (graph_.kind[g] == kMixTerm) {
                take_slot(static_cast<std::size_t>(graph_.species[g]));
            } else if (has_vectors(g)) {
                ++integrated;
                take_slot(g);
            }
            groups_.push_back(g);
        }
        group_start_.push_back(groups_.size());
        for (std::size_t i = first; i < groups_.size(); ++i) {
            const std::size_t g = groups_[i];
            graph_.inputs(g, inputs);
            for (std::size_t c : inputs) {
                if (--unread_[c] == 0 && has_vectors(c)) free_slots.push_back(slot_[c]);
            }
            for (std::size_t k = reader_begin_[g]; k < reader_begin_[g + 1]; ++k) {
                const std::size_t p = readers_[k];
                if (--missing_[p] == 0) ready.emplace(due[p], p);
            }
        }
    }
}

// Whether a step constant derived from `rate` (itself, or divided by at most
// 2^64 branches) stays a normal double when scaled by 2^-shift.
static bool carries_shift(double rate, std::int64_t shift) {
    if (shift == 0 || rate == 0.0 || !std::isfinite(rate)) return true;
    const std::int64_t exponent = std::ilogb(rate) - shift;
    return exponent - 64 > -1000 && exponent < 1000;
}

// Where node g's vectors of slice s and their sums lie in the arena: slice
// by slice, one slice per slot, the slots packed at that slice's own size (a
// narrow slice's vectors take only the cache they need); node by node, the
// history of the window held per slot.
double* DatedScorer::slice_rows(std::size_t g, std::size_t s) {
    if (!whole_histories_) return arena_.data() + slot_[g] * slice_stride_[s];
    return arena_.data() + slot_[g] * slot_stride_ + (model_.trajectory_offset[s] - window_rows_base_);
}

double* DatedScorer::slice_sums(std::size_t g, std::size_t s, std::size_t rows_size) {
    if (!whole_histories_) return arena_.data() + slot_[g] * slice_stride_[s] + rows_size;
    return arena_.data() + slot_[g] * slot_stride_ + window_rows_size_ +
           (model_.sums_offset[s] - window_sums_base_);
}

// Slice by slice only: a kMix node's sum of its splits' speciation terms at
// the slice's ends, after its sums.
double* DatedScorer::slice_splits(std::size_t g, std::size_t s, std::size_t rows_size) {
    return slice_sums(g, s, rows_size) + model_.slices[s].steps;
}

// The scale of node g's vectors of slice s: its current scale when slices
// are integrated one at a time, or the scale it had when it finished slice s.
std::int64_t DatedScorer::slice_exponent(std::size_t g, std::size_t s) const {
    return whole_histories_ ? slice_exponents_[g * model_.slices.size() + s] : exponent_[g];
}

// Slice s for one group of nodes. An internal node's values are sums of its
// own values times model terms and of products of one value of each child
// (the speciation terms at the slice start and the step's source), which are
// scaled from the children's product to the node's scale. A node whose
// vectors have left the range afterwards is brought back, with its values at
// the branch tops.
void DatedScorer::run_group(std::size_t s, const std::size_t* group, std::size_t group_size) {
    const TimeSlice& slice = model_.slices[s];
    const std::size_t rows_size = (static_cast<std::size_t>(slice.steps) + 1) * slice.width();
    // Sums are formed from their terms; the other nodes integrate side by side.
    std::size_t nodes[kGroup] = {};
    std::size_t count = 0;
    for (std::size_t i = 0; i < group_size; ++i) {
        if (graph_.kind[group[i]] == kSum) {
            combine_sum(s, group[i]);
        } else if (graph_.kind[group[i]] == kRootTerm) {
            root_terms(s, group[i]);
        } else if (graph_.kind[group[i]] == kMixTerm) {
            mix_term(s, group[i]);
        } else if (graph_.kind[group[i]] == kRoot) {
            continue;  // its terms are summed when the tree is done
        } else {
            nodes[count++] = group[i];
        }
    }
    if (count == 0) return;
    // Whether some value of the spans would come within 2^kScaleLimit of the
    // largest double when multiplied by 2^exponent.
    auto too_far = [](double largest, std::int64_t exponent) {
        return raised_past(largest, exponent, 1024 - kScaleLimit);
    };
    auto overflows_when_raised = [&](const TopSpan* spans, std::size_t span_count,
                                     std::int64_t exponent) {
        double largest = 0.0;
        for (std::size_t k = 0; k < span_count; ++k) {
            largest = std::max(largest, max_magnitude(spans[k].values, spans[k].count));
        }
        return too_far(largest, exponent);
    };
    auto overflows_listed = [&](const double* row, const std::size_t* listed,
                                std::size_t listed_count, std::int64_t exponent) {
        double largest = 0.0;
        for (std::size_t k = 0; k < listed_count; ++k) {
            largest = std::max(largest, std::fabs(row[listed[k]]));
        }
        return too_far(largest, exponent);
    };
    // Per-branch layout: each node's tops that a slice start reads, in a
    // scratch row in the scale its reader needs.
    const std::size_t n = model_.n;
    const SliceTopsMap& wide = branch_tops_[s];
    const std::size_t* own_reads = wide.own_reads.data();
    const std::size_t own_count = wide.own_reads.size();
    const std::size_t* daughter_reads = wide.daughters.data();
    const std::size_t daughter_count = wide.daughters.size();
    NodeWork work[kGroup] = {};
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t g = nodes[i];
        NodeWork& node = work[i];
        node.internal = graph_.kind[g] == kPair;
        node.mix = graph_.kind[g] == kMix;
        node.species = graph_.kind[g] == kTip ? graph_.species[g] : -1;
        double* own_tops = nullptr;
        if (compact_) {
            node.previous = previous_tops(g, s);
        } else {
            own_tops = top_scratch_.data() + 3 * i * n;
            if (!node.internal || started_[g]) {
                exponent_[g] = read_scale(g, own_reads, own_count, exponent_[g]);
            }
            node.previous = own_tops;
        }
        node.current = current_tops(g, s);
        node.rows = slice_rows(g, s);
        node.sums = slice_sums(g, s, rows_size);
        const std::size_t c1 = graph_.left[g];
        const std::size_t c2 = graph_.right[g];
        if (node.internal || node.mix) {
            // The split's children's vectors (a kMix node's own split).
            node.left_rows = slice_rows(c1, s);
            node.left_sums = slice_sums(c1, s, rows_size);
            node.right_rows = slice_rows(c2, s);
            node.right_sums = slice_sums(c2, s, rows_size);
        }
        if (node.mix) {
            // Its own split, the last placed, goes into its steps directly:
            // after the other splits, which have added their sources.
            node.summed = mixed_in_[g] == s;
            const MixConstants step = mix_split(s, g, c1, c2, graph_.weight[g]);
            node.mix_dup = step.dup;
            node.mix_tau = step.tau;
            node.split_sums = slice_splits(g, s, rows_size);
        }
        if (node.internal && compact_) {
            node.left_previous = previous_tops(c1, s);
            node.right_previous = previous_tops(c2, s);
        }
        if (node.internal) {
            // The node keeps its scale from slice to slice; the terms from
            // its children are brought to it through the step's constants.
            // A node starts in its children's scale, and returns to it when
            // the difference is too large for the constants to carry, unless
            // its own values would leave the double range there (children
            // whose product has fallen far below the node's values, as at
            // very high rates): then it keeps its scale, and the children's
            // terms, far below its own values, come through constants that
            // may be subnormal or 0.
            const std::int64_t product = slice_exponent(c1, s) + slice_exponent(c2, s);
            if (!started_[g]) {
                exponent_[g] = product;
                started_[g] = 1;
            }
            if (!compact_) read_tops(g, own_reads, own_count, exponent_[g], own_tops);
            std::int64_t shift = exponent_[g] - product;
            if (shift > kScaleLimit * 4 || shift < -kScaleLimit * 4 ||
                !carries_shift(model_.dup, shift) || !carries_shift(model_.transfer, shift)) {
                TopSpan spans[3];
                const std::size_t span_count = compact_ ? top_spans(g, s, false, spans) : 0;
                const bool raised_too_far =
                    shift > 0 && (compact_ ? overflows_when_raised(spans, span_count, shift)
                                           : overflows_listed(own_tops, own_reads, own_count,
                                                              shift));
                if (!raised_too_far) {
                    if (compact_) {
                        shift_spans(spans, span_count, shift);
                    } else {
                        for (std::size_t k = 0; k < own_count; ++k) {
                            own_tops[own_reads[k]] = ldexp_wide(own_tops[own_reads[k]], shift);
                        }
                    }
                    exponent_[g] = product;
                    shift = 0;
                }
            }
            node.source_shift = static_cast<int>(std::clamp<std::int64_t>(shift, -4096, 4096));
            if (compact_) {
                node.split_shift = exponent_[g] - (exponent_[c1] + exponent_[c2]);
            } else {
                // The children's tops of the daughters, in their nodes' scales
                // where they fit.
                double* left_tops = own_tops + n;
                double* right_tops = own_tops + 2 * n;
                // Preferred: each child's scale in this slice, as slice by
                // slice (node by node its scale now is that of a later
                // slice, which would make the values depend on how far the
                // child has been integrated).
                const std::int64_t left_scale =
                    read_scale(c1, daughter_reads, daughter_count, slice_exponent(c1, s), true);
                const std::int64_t right_scale =
                    read_scale(c2, daughter_reads, daughter_count, slice_exponent(c2, s), true);
                read_tops(c1, daughter_reads, daughter_count, left_scale, left_tops);
                read_tops(c2, daughter_reads, daughter_count, right_scale, right_tops);
                node.left_previous = left_tops;
                node.right_previous = right_tops;
                node.split_shift = exponent_[g] - (left_scale + right_scale);
            }
        } else if (!compact_) {
            read_tops(g, own_reads, own_count, exponent_[g], own_tops);
        }
    }

    // Pairs and kMix nodes that form their root term's sum in their own steps.
    if (!fused_term_.empty() && slice.width() >= 2) {
        const double* lambda = adjoint_->rows.data() + model_.trajectory_offset[s];
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t t = fused_term_[nodes[i]];
            if (t == kNoTopEntry) continue;
            const bool left = graph_.left[t] == nodes[i];
            const std::size_t other = left ? graph_.right[t] : graph_.left[t];
            NodeWork& node = work[i];
            node.fused_lambda = lambda;
            node.fused_rows = slice_rows(other, s);
            node.fused_sums = slice_sums(other, s, rows_size);
            node.fused_lanes = fused_lanes_.data() + 4 * t;
            node.fused_left = left;
            std::fill(node.fused_lanes, node.fused_lanes + 4, 0.0);
        }
    }
    const SliceTopsMap& tops = slice_tops(s);
    run_slice(model_, s, tops, work, count, lane_sums_);

    for (std::size_t i = 0; i < count; ++i) {
        if (compact_ && keep_daughter_tops_) {
            for (std::size_t which = 0; which < 2; ++which) {
                if (daughter_slice_[which] == s) {
                    daughter_tops_[2 * nodes[i] + which] = work[i].current[daughter_entry_[which]];
                }
            }
        }
        const double largest = max_magnitude(work[i].rows, rows_size);
        // A kMix node that has a value other than 0 keeps its scale.
        if (work[i].mix && largest > 0.0) started_[nodes[i]] = 1;
        const int shift = rescale_exponent(largest);
        if (work[i].fused_lanes) {
            // The term's sums were formed from the pair's vectors before this
            // rescale. Brought down with them (exactly, by a power of two),
            // they are what the brought-down vectors give, save for products
            // that would have fallen below the normal range, which they keep
            // whole. Brought up, they may have lost digits to subnormal
            // products: the term then forms its sums from the vectors again.
            const std::size_t t = fused_term_[nodes[i]];
            fused_slice_[t] = shift >= 0 ? s : kNoTopEntry;
            fused_shift_[t] = shift;
        }
        if (shift != 0) {
            const std::size_t sums_size =
                slice.width() >= 2 ? static_cast<std::size_t>(slice.steps) : 0;
            scale_down(work[i].rows, rows_size, shift);
            scale_down(work[i].sums, sums_size, shift);
            if (compact_) {
                TopSpan spans[3];
                const std::size_t span_count = top_spans(nodes[i], s, true, spans);
                for (std::size_t k = 0; k < span_count; ++k) {
                    scale_down(spans[k].values, spans[k].count, shift);
                }
            } else {
                for (std::size_t k = 0; k < slice.width(); ++k) {
                    double& top = work[i].current[slice.branches[k]];
                    top = ldexp_wide(top, -shift);
                }
            }
            exponent_[nodes[i]] += shift;
        }
        if (!compact_) {
            for (std::size_t b : slice.branches) top_exponent_[nodes[i] * n + b] = exponent_[nodes[i]];
        }
        if (whole_histories_) {
            slice_exponents_[nodes[i] * model_.slices.size() + s] = exponent_[nodes[i]];
        }
        if (keep_root_tops_ && nodes[i] == graph_.size() - 1) {
            for (std::size_t k = 0; k < slice.width(); ++k) {
                const std::size_t b = slice.branches[k];
                if (first_slice_[b] != s) continue;
                root_top_[b] = work[i].current[tops.write[k]];
                root_top_exponent_[b] = exponent_[nodes[i]];
            }
        }
    }
}

// Sum node g at slice s: its vectors and their sums are the weighted sums of
// its terms', in the scale of the largest term; its P at the branch tops
// likewise in the scale of the terms' current tops.
void DatedScorer::combine_sum(std::size_t s, std::size_t g) {
    const TimeSlice& slice = model_.slices[s];
    const std::size_t rows_size = (static_cast<std::size_t>(slice.steps) + 1) * slice.width();
    const std::size_t sums_size = slice.width() >= 2 ? static_cast<std::size_t>(slice.steps) : 0;
    const std::size_t begin = graph_.term_begin[g];
    const std::size_t end = graph_.term_begin[g + 1];
    double* rows = slice_rows(g, s);
    double* sums = slice_sums(g, s, rows_size);
    TopSpan tops[3];
    const std::size_t span_count = compact_ ? top_spans(g, s, true, tops) : 0;
    const std::int64_t scale = sum_scale(s, g);
    const std::int64_t top_scale = sum_top_scale(s, g);
    std::fill(rows, rows + rows_size, 0.0);
    std::fill(sums, sums + sums_size, 0.0);
    for (std::size_t k = 0; k < span_count; ++k) {
        std::fill(tops[k].values, tops[k].values + tops[k].count, 0.0);
    }
    for (std::size_t i = begin; i < end; ++i) {
        const std::size_t t = graph_.term_node[i];
        add_sum_term(s, g, i, scale);
        if (!compact_) continue;
        const double w = graph_.term_weight[i];
        const double ft = ldexp_wide(w, exponent_[t] - top_scale);
        TopSpan term_tops[3];
        top_spans(t, s, true, term_tops);
        for (std::size_t k = 0; k < span_count; ++k) {
            double* top = tops[k].values;
            const double* term_top = term_tops[k].values;
            for (std::size_t b = 0; b < tops[k].count; ++b) top[b] = top[b] + ft * term_top[b];
        }
    }
    if (!compact_) sum_branch_tops(s, g, top_scale);
    finish_sum(s, g, scale, top_scale, tops, span_count);
}

// The scale of sum node g's vectors of slice s: its largest term's.
std::int64_t DatedScorer::sum_scale(std::size_t s, std::size_t g) const {
    const std::size_t begin = graph_.term_begin[g];
    std::int64_t scale = slice_exponent(graph_.term_node[begin], s);
    for (std::size_t i = begin + 1; i < graph_.term_begin[g + 1]; ++i) {
        scale = std::max(scale, slice_exponent(graph_.term_node[i], s));
    }
    return scale;
}

// The scale of sum node g's tops in slice s: its terms' largest scale
// there (node by node, their scales in the slice, as slice by slice).
std::int64_t DatedScorer::sum_top_scale(std::size_t s, std::size_t g) const {
    const std::size_t begin = graph_.term_begin[g];
    auto scale_of = [&](std::size_t t) {
        return whole_histories_ ? slice_exponents_[t * model_.slices.size() + s] : exponent_[t];
    };
    std::int64_t scale = scale_of(graph_.term_node[begin]);
    for (std::size_t i = begin + 1; i < graph_.term_begin[g + 1]; ++i) {
        scale = std::max(scale, scale_of(graph_.term_node[i]));
    }
    return scale;
}

// Adds term i of sum node g (entry i of its term list) to the sum's vectors
// and sums of slice s, in the sum's scale.
void DatedScorer::add_sum_term(std::size_t s, std::size_t g, std::size_t i, std::int64_t scale) {
    const TimeSlice& slice = model_.slices[s];
    const std::size_t rows_size = (static_cast<std::size_t>(slice.steps) + 1) * slice.width();
    const std::size_t sums_size = slice.width() >= 2 ? static_cast<std::size_t>(slice.steps) : 0;
    double* rows = slice_rows(g, s);
    double* sums = slice_sums(g, s, rows_size);
    const std::size_t t = graph_.term_node[i];
    const double f = ldexp_wide(graph_.term_weight[i], slice_exponent(t, s) - scale);
    const double* term_rows = slice_rows(t, s);
    const double* term_sums = slice_sums(t, s, rows_size);
    for (std::size_t k = 0; k < rows_size; ++k) rows[k] = rows[k] + f * term_rows[k];
    for (std::size_t j = 0; j < sums_size; ++j) sums[j] = sums[j] + f * term_sums[j];
}

// Per-branch layout: sum node g's tops of slice s, the weighted sum of its
// terms' current tops, formed in the terms' largest scale where every term's
// fits, else in the largest of the entries' own.
void DatedScorer::sum_branch_tops(std::size_t s, std::size_t g, std::int64_t top_scale) {
    const TimeSlice& slice = model_.slices[s];
    const std::size_t n = model_.n;
    const std::size_t begin = graph_.term_begin[g];
    const std::size_t end = graph_.term_begin[g + 1];
    std::int64_t entry_scale = top_scale;
    std::int64_t largest = std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = begin; i < end; ++i) {
        const std::size_t t = graph_.term_node[i];
        const std::int64_t read = read_scale(t, slice.branches.data(), slice.width(), top_scale);
        if (read != top_scale) largest = std::max(largest, read);
    }
    if (largest != std::numeric_limits<std::int64_t>::min()) entry_scale = largest;
    for (std::size_t b : slice.branches) {
        p_top_[g * n + b] = 0.0;
        top_exponent_[g * n + b] = entry_scale;
    }
    for (std::size_t i = begin; i < end; ++i) {
        const std::size_t t = graph_.term_node[i];
        const double w = graph_.term_weight[i];
        for (std::size_t b : slice.branches) {
            double& top = p_top_[g * n + b];
            top = top + w * top_in(t, b, entry_scale);
        }
    }
}

// Sum node g's vectors of slice s, summed in the scale 2^scale, brought back
// into range, and the node's scales.
void DatedScorer::finish_sum(std::size_t s, std::size_t g, std::int64_t scale,
                             std::int64_t top_scale, const TopSpan* tops, std::size_t span_count) {
    const TimeSlice& slice = model_.slices[s];
    const std::size_t rows_size = (static_cast<std::size_t>(slice.steps) + 1) * slice.width();
    const std::size_t sums_size = slice.width() >= 2 ? static_cast<std::size_t>(slice.steps) : 0;
    double* rows = slice_rows(g, s);
    double* sums = slice_sums(g, s, rows_size);
    const int shift = rescale_exponent(max_magnitude(rows, rows_size));
    if (shift != 0) {
        scale_down(rows, rows_size, shift);
        scale_down(sums, sums_size, shift);
        scale += shift;
    }
    if (whole_histories_) {
        exponent_[g] = top_scale;
        slice_exponents_[g * model_.slices.size() + s] = scale;
    } else {
        // One scale for the slice's vectors and the tops, as for every node
        // (the per-branch layout keeps each top's own).
        if (compact_ && top_scale != scale) shift_spans(tops, span_count, top_scale - scale);
        exponent_[g] = scale;
    }
}

// The root speciation's split of pair node g's two children into the root's
// daughters, in the scale of the children's product.
ScaledValue DatedScorer::root_split(std::size_t g) const {
    return root_split_of(graph_.left[g], graph_.right[g]);
}

ScaledValue DatedScorer::root_split_of(std::size_t c1, std::size_t c2) const {
    // Daughter 0 is the root's left child, 1 its right.
    if (!compact_) {
        const std::int64_t left = read_scale(c1, daughter_, 2, exponent_[c1], true);
        const std::int64_t right = read_scale(c2, daughter_, 2, exponent_[c2], true);
        return {top_in(c1, daughter_[1], left) * top_in(c2, daughter_[0], right) +
                    top_in(c1, daughter_[0], left) * top_in(c2, daughter_[1], right),
                left + right};
    }
    return {root_daughter_top(c1, 1) * root_daughter_top(c2, 0) +
                root_daughter_top(c1, 0) * root_daughter_top(c2, 1),
            exponent_[c1] + exponent_[c2]};
}

ScaledValue DatedScorer::root_probability(std::uint8_t origination) const {
    const DatedExtinction& m = model_;
    const std::size_t n = m.n;
    const std::size_t r = graph_.size() - 1;
    const std::int64_t e_root = exponent_[r];
    if (origination == 1 && graph_.kind[r] != kRoot) {
        double sum = 0.0;
        std::size_t count = 0;
        if (keep_root_tops_) {
            // Each top in the root's final scale, which is exact for every
            // top that fits there; when one does not, the tops are added with
            // their own scales instead.
            bool fit = true;
            for (std::size_t b = 0; b < n; ++b) {
                if (!has_length(m.branch_length[b])) continue;
                const double top = ldexp_wide(root_top_[b], root_top_exponent_[b] - e_root);
                fit = fit && std::isfinite(top);
                sum += top;
                ++count;
            }
            if (!fit) {
                ScaledValue total{0.0, 0};
                for (std::size_t b = 0; b < n; ++b) {
                    if (!has_length(m.branch_length[b])) continue;
                    total = add_scaled(total.value, total.exponent, root_top_[b],
                                       root_top_exponent_[b]);
                }
                return {total.value / static_cast<double>(count), total.exponent};
            }
            return {count == 0 ? 0.0 : sum / static_cast<double>(count), e_root};
        }
        // Only a sum's root gets here, integrated with a tops row per node.
        std::vector<std::size_t> with_length;
        for (std::size_t b = 0; b < n; ++b) {
            if (has_length(m.branch_length[b])) with_length.push_back(b);
        }
        const std::int64_t scale = read_scale(r, with_length.data(), with_length.size(), e_root);
        for (std::size_t b : with_length) {
            sum += top_in(r, b, scale);
            ++count;
        }
        // No branch with length: the family has nowhere to start.
        return {count == 0 ? 0.0 : sum / static_cast<double>(count), scale};
    }
    const RootDaughters root = dated_root_daughters(m);
    const std::size_t f = root.left;
    const std::size_t h = root.right;
    if (graph_.kind[r] == kRoot) {
        // The splits' terms already hold everything but the root split. They
        // are added from the smallest up: the same total however the family
        // lists its clades (which orders the splits), and the small terms are
        // not lost one by one against the large.
        std::vector<ScaledValue> weighted(graph_.root_left.size());
        for (std::size_t i = 0; i < graph_.root_left.size(); ++i) {
            ScaledValue term = root_terms_[i];
            if (origination != 1) {
                const ScaledValue split = root_split_of(graph_.root_left[i], graph_.root_right[i]);
                term = add_scaled(term.value, term.exponent, split.value, split.exponent);
            }
            weighted[i] = {graph_.root_weight[i] * term.value, term.exponent};
        }
        std::sort(weighted.begin(), weighted.end(), scaled_less);
        ScaledValue total{0.0, 0};
        for (const ScaledValue& term : weighted) {
            total = add_scaled(total.value, total.exponent, term.value, term.exponent);
        }
        return total;
    }
    const std::int64_t l_scale = compact_ ? e_root : read_scale(r, daughter_, 2, e_root);
    const double l = compact_ ? m.e_top[f] * root_daughter_top(r, 1) +
                                    m.e_top[h] * root_daughter_top(r, 0)
                              : m.e_top[f] * top_in(r, daughter_[1], l_scale) +
                                    m.e_top[h] * top_in(r, daughter_[0], l_scale);
    if (graph_.kind[r] == kTip) return {l, l_scale};
    if (graph_.kind[r] == kPair) {
        const ScaledValue split = root_split(r);
        return add_scaled(l, l_scale, split.value, split.exponent);
    }
    // A sum: its terms' splits, weighted.
    ScaledValue total{l, l_scale};
    for (std::size_t i = graph_.term_begin[r]; i < graph_.term_begin[r + 1]; ++i) {
        const std::size_t t = graph_.term_node[i];
        if (graph_.kind[t] != kPair) continue;
        const ScaledValue split = root_split(t);
        total = add_scaled(total.value, total.exponent, graph_.term_weight[i] * split.value,
                           split.exponent);
    }
    return total;
}

// The doubles of one slot: a node's vectors of the widest slice with their
// sums (and a kMix node's speciation terms), or node by node its whole history.
std::size_t DatedScorer::slot_doubles() const {
    if (whole_histories_) {
        return require_doubles(window_doubles(model_, window_start_), "gene node history");
    }
    std::size_t stride = 0;
    for (const TimeSlice& slice : model_.slices) stride = std::max(stride, slice_doubles(slice));
    return stride;
}

// Slice by slice, one node's slot in `slice`: its vectors, their sums, and a
// kMix node's speciation terms.
std::size_t DatedScorer::slice_doubles(const TimeSlice& slice) {
    const std::uint64_t rows = checked_mul(slice.steps + 1, slice.width(), "slice vectors");
    return require_doubles(
        checked_add(checked_add(rows, slice.steps, "slice vectors"), slice.ends.size(),
                    "slice vectors"),
        "slice vectors");
}

double DatedScorer::score(const GeneTree& tree, std::uint8_t origination) {
    release();
    require_nodes(tree);
    check_tree(tree, true);
    // A tip node shared by several parents is held from the first to the
    // last of them, where each tip alone would be held only until its own
    // parent. Where that makes the working set large, the tree is scored
    // with a node per tip when that holds fewer slots (the same values).
    if (graph_.size() < tree.size()) {
        auto plan = [&](bool share_tips) {
            check_tree(tree, share_tips);
            link_graph();
            plan_groups();
        };
        link_graph();
        plan_groups();
        const std::size_t shared_slots = slots_;
        const std::uint64_t bytes = checked_mul(
            checked_mul(shared_slots, slot_doubles(), "dated scorer working set"), sizeof(double),
            "dated scorer working set");
        if (bytes > shared_tips_bytes_) {
            plan(false);
            if (slots_ >= shared_slots) plan(true);
        }
        planned_ = true;
    }
    return score_graph(origination);
}

double DatedScorer::score_clades(const CladeFamily& family, std::uint8_t origination) {
    release();
    // Slice by slice only: the adjoint assumes each branch's values final
    // when its parent branch reads them.
    clade_graph(family, shape_order_, true);
    if (graph_.kind.back() == kRoot) {
        adjoint_ = &root_adjoint(origination);
        root_terms_.assign(graph_.root_left.size(), ScaledValue{0.0, 0});
    }
    return score_graph(origination);
}

double DatedScorer::solve_clades(const CladeFamily& family, std::uint8_t origination,
                                 const std::vector<std::size_t>& windows, bool lean_root) {
    release();
    const std::size_t slices = model_.slices.size();
    if (!windows.empty()) {
        bool ordered = windows.front() == 0;
        for (std::size_t k = 1; k < windows.size(); ++k) {
            ordered = ordered && windows[k - 1] < windows[k] && windows[k] < slices;
        }
        if (!ordered) fault("the windows of a family's slices are not in order");
        if (windows.size() > 1 && !shape_order_) {
            fault("a species tree whose times contradict its shape is integrated in one window");
        }
        window_start_ = windows;
    }
    window_index_.assign(slices, 0);
    for (std::size_t k = 1; k < window_start_.size(); ++k) {
        std::fill(window_index_.begin() + static_cast<std::ptrdiff_t>(window_start_[k]),
                  window_index_.end(), k);
    }
    // The tips on one species branch have the same history: one node holds
    // it for all of them.
    clade_graph(family, false, true);
    // Node by node (the same values as slice by slice when the times agree
    // with the shape), every node in its own slot.
    keep_ = true;
    whole_histories_ = true;
    const std::size_t root = graph_.size() - 1;
    lean_root_ = lean_root && graph_.kind[root] == kSum;
    if (lean_root_) {
        if (window_start_.size() > 1) fault("a lean root is integrated in one window");
        split_index_.assign(graph_.size(), kNoTopEntry);
        for (std::size_t i = graph_.term_begin[root]; i < graph_.term_begin[root + 1]; ++i) {
            split_index_[graph_.term_node[i]] = i - graph_.term_begin[root];
        }
    }
    try {
        kept_top_.assign(require_doubles(checked_mul(graph_.size(), model_.n, "gene node tops"),
                                         "gene node tops"),
                         0.0);
        return score_graph(origination);
    } catch (...) {
        release();
        throw;
    }
}

// Where slice s's vectors and its sums start in a node's history (at s = the
// slice count, the history's sizes).
static std::size_t rows_before(const DatedExtinction& model, std::size_t s) {
    return s < model.slices.size() ? model.trajectory_offset[s] : model.trajectory_size;
}
static std::size_t sums_before(const DatedExtinction& model, std::size_t s) {
    return s < model.slices.size() ? model.sums_offset[s] : model.sums_size;
}

// A node's vectors and sums of slices begin .. end-1.
static std::uint64_t doubles_between(const DatedExtinction& model, std::size_t begin,
                                     std::size_t end) {
    return (rows_before(model, end) - rows_before(model, begin)) +
           (sums_before(model, end) - sums_before(model, begin));
}

// The slice after window k's last.
static std::size_t window_end(const std::vector<std::size_t>& starts, std::size_t k,
                              std::size_t slices) {
    return k + 1 < starts.size() ? starts[k + 1] : slices;
}

std::vector<std::size_t> DatedScorer::plan_windows(const DatedExtinction& model,
                                                   std::uint64_t window_doubles) {
    std::vector<std::size_t> starts{0};
    std::uint64_t held = 0;
    for (std::size_t s = 0; s < model.slices.size(); ++s) {
        const std::uint64_t size = doubles_between(model, s, s + 1);
        if (held > 0 && held + size > window_doubles) {
            starts.push_back(s);
            held = 0;
        }
        held += size;
    }
    return starts;
}

std::uint64_t DatedScorer::window_doubles(const DatedExtinction& model,
                                          const std::vector<std::size_t>& windows) {
    std::uint64_t largest = 0;
    for (std::size_t k = 0; k < windows.size(); ++k) {
        largest = std::max(largest, doubles_between(model, windows[k],
                                                    window_end(windows, k, model.slices.size())));
    }
    return largest;
}

DatedScorer::HistoryPlan DatedScorer::history_plan(const CladeFamily& family) {
    release();
    clade_graph(family, false, true);
    HistoryPlan plan;
    plan.nodes = graph_.size();
    const std::size_t root = graph_.size() - 1;
    if (graph_.kind[root] == kSum) {
        plan.root_splits = graph_.term_begin[root + 1] - graph_.term_begin[root];
    }
    release();
    return plan;
}

// A node's state before its first slice, as score_graph sets every node's.
void DatedScorer::reset_node(std::size_t g) {
    const std::size_t n = model_.n;
    const std::size_t slices = model_.slices.size();
    exponent_[g] = 0;
    started_[g] = 0;
    mixed_in_[g] = kNoTopEntry;
    std::fill(p_top_.begin() + static_cast<std::ptrdiff_t>(g * n),
              p_top_.begin() + static_cast<std::ptrdiff_t>((g + 1) * n), 0.0);
    std::fill(top_exponent_.begin() + static_cast<std::ptrdiff_t>(g * n),
              top_exponent_.begin() + static_cast<std::ptrdiff_t>((g + 1) * n), 0);
    std::fill(slice_exponents_.begin() + static_cast<std::ptrdiff_t>(g * slices),
              slice_exponents_.begin() + static_cast<std::ptrdiff_t>((g + 1) * slices), 0);
}

// Node g through every slice, alone (node by node: its inputs are done). A
// node's arithmetic is the same alone as beside others.
void DatedScorer::run_alone(std::size_t g) {
    for (std::size_t s = model_.slices.size(); s-- > 0;) {
        if (model_.slices[s].width() == 0) continue;
        run_group(s, &g, 1);
        keep_tops(s, g);
    }
}

// The sampler follows split g of a lean root: its history, integrated again
// in the spare slot, gives the values its first integration had.
void DatedScorer::materialize(std::size_t g) {
    if (!lean_root_ || split_index_[g] == kNoTopEntry || g == materialized_) return;
    materialized_ = kNoTopEntry;
    reset_node(g);
    run_alone(g);
    materialized_ = g;
}

// A lean root, once every other node is done: each split integrated alone in
// the spare slot, keeping its values at the branch tops (keep_tops), then the root's
// vectors summed from the splits integrated once more, one after another. Per
// entry the same additions in the same order as combine_sum, so the same
// values.
void DatedScorer::sum_lean_root() {
    const DatedExtinction& m = model_;
    const std::size_t slices = m.slices.size();
    const std::size_t root = graph_.size() - 1;
    const std::size_t begin = graph_.term_begin[root];
    const std::size_t end = graph_.term_begin[root + 1];
    for (std::size_t i = begin; i < end; ++i) {
        const std::size_t t = graph_.term_node[i];
        reset_node(t);
        run_alone(t);  // its tops kept
    }
    std::vector<std::int64_t> scale(slices, 0);
    for (std::size_t s = 0; s < slices; ++s) {
        const TimeSlice& slice = m.slices[s];
        if (slice.width() == 0) continue;
        scale[s] = sum_scale(s, root);
        const std::size_t rows_size = (static_cast<std::size_t>(slice.steps) + 1) * slice.width();
        const std::size_t sums_size = slice.width() >= 2 ? static_cast<std::size_t>(slice.steps) : 0;
        double* rows = slice_rows(root, s);
        double* sums = slice_sums(root, s, rows_size);
        std::fill(rows, rows + rows_size, 0.0);
        std::fill(sums, sums + sums_size, 0.0);
    }
    std::size_t in_spare = graph_.term_node[end - 1];
    for (std::size_t i = begin; i < end; ++i) {
        const std::size_t t = graph_.term_node[i];
        if (t != in_spare) {
            reset_node(t);
            run_alone(t);
            in_spare = t;
        }
        for (std::size_t s = 0; s < slices; ++s) {
            if (m.slices[s].width() > 0) add_sum_term(s, root, i, scale[s]);
        }
    }
    materialized_ = in_spare;
    for (std::size_t s = slices; s-- > 0;) {
        if (m.slices[s].width() == 0) continue;
        const std::int64_t top_scale = sum_top_scale(s, root);
        sum_branch_tops(s, root, top_scale);
        finish_sum(s, root, scale[s], top_scale, nullptr, 0);
        keep_tops(s, root);
    }
}

// Window k's place in a node's history: the arena's slots hold its slices.
void DatedScorer::hold_window(std::size_t k) {
    const std::size_t begin = window_start_[k];
    const std::size_t end = window_end(window_start_, k, model_.slices.size());
    window_rows_base_ = rows_before(model_, begin);
    window_rows_size_ = rows_before(model_, end) - window_rows_base_;
    window_sums_base_ = sums_before(model_, begin);
    window_held_ = k;
}

// Every group of nodes through window k's slices, from the latest.
void DatedScorer::run_window(std::size_t k) {
    const std::size_t begin = window_start_[k];
    const std::size_t end = window_end(window_start_, k, model_.slices.size());
    std::vector<std::size_t> kept;
    const std::size_t size = graph_.size();
    for (std::size_t group = 0; group + 1 < group_start_.size(); ++group) {
        const std::size_t* nodes = groups_.data() + group_start_[group];
        std::size_t count = group_start_[group + 1] - group_start_[group];
        if (lean_root_) {
            // A lean root and its splits come after every other node.
            kept.clear();
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t g = nodes[i];
                if (g != size - 1 && split_index_[g] == kNoTopEntry) kept.push_back(g);
            }
            nodes = kept.data();
            count = kept.size();
        }
        for (std::size_t s = end; s-- > begin;) {
            if (model_.slices[s].width() == 0) continue;
            run_group(s, nodes, count);
            if (!keep_) continue;
            for (std::size_t i = 0; i < count; ++i) keep_tops(s, nodes[i]);
        }
    }
}

// Node g's values at the tops of the branches whose earliest slice is s.
void DatedScorer::keep_tops(std::size_t s, std::size_t g) {
    const TimeSlice& slice = model_.slices[s];
    const double* top_row = slice_rows(g, s) + static_cast<std::size_t>(slice.steps) * slice.width();
    for (const auto& [b, k] : tops_born_[s]) kept_top_[g * model_.n + b] = top_row[k];
}

// The branches whose tops window k reads from before it (the slice after
// its latest, when there is one): the tops a slice start reads of its own
// node are those of the slice after it, and of the node's children the tops
// of branches born at its later end, alive in that slice (the species times
// agree with the shape). Every other top the window reads it writes first.
const std::vector<std::size_t>& DatedScorer::window_carries(std::size_t k) const {
    static const std::vector<std::size_t> none;
    if (k + 1 >= window_start_.size()) return none;
    return model_.slices[window_start_[k + 1]].branches;
}

// Each node's scale and its tops that window k reads from before it.
void DatedScorer::save_checkpoint(std::size_t k) {
    Checkpoint& c = checkpoints_[k];
    c.exponent = exponent_;
    c.started = started_;
    const std::vector<std::size_t>& carried = window_carries(k);
    const std::size_t n = model_.n;
    const std::size_t size = graph_.size();
    c.p_top.resize(size * carried.size());
    c.top_exponent.resize(size * carried.size());
    for (std::size_t g = 0; g < size; ++g) {
        for (std::size_t i = 0; i < carried.size(); ++i) {
            c.p_top[g * carried.size() + i] = p_top_[g * n + carried[i]];
            c.top_exponent[g * carried.size() + i] = top_exponent_[g * n + carried[i]];
        }
    }
}

// Window k's vectors again: every node from its state at the window's start.
void DatedScorer::load_window(std::size_t k) {
    if (!keep_ || k >= window_start_.size()) fault("a window of slices that was not integrated");
    if (k == window_held_) return;
    if (k == 0 || checkpoints_[k].exponent.empty()) fault("a window of slices with no checkpoint");
    const Checkpoint& c = checkpoints_[k];
    exponent_ = c.exponent;
    started_ = c.started;
    const std::vector<std::size_t>& carried = window_carries(k);
    const std::size_t n = model_.n;
    for (std::size_t g = 0; g < graph_.size(); ++g) {
        for (std::size_t i = 0; i < carried.size(); ++i) {
            p_top_[g * n + carried[i]] = c.p_top[g * carried.size() + i];
            top_exponent_[g * n + carried[i]] = c.top_exponent[g * carried.size() + i];
        }
    }
    hold_window(k);
    run_window(k);
}

std::size_t DatedScorer::planned_slots(const CladeFamily& family) {
    release();
    clade_graph(family, shape_order_, true);
    link_graph();
    plan_groups();
    const std::size_t slots = slots_;
    release();
    return slots;
}

void DatedScorer::release() {
    keep_ = false;
    planned_ = false;
    whole_histories_ = !shape_order_;
    std::vector<double>().swap(arena_);
    std::vector<std::uint8_t>().swap(started_);
    std::vector<std::size_t>().swap(mixed_in_);
    std::vector<std::int64_t>().swap(slice_exponents_);
    std::vector<double>().swap(p_top_);
    std::vector<std::int64_t>().swap(top_exponent_);
    std::vector<double>().swap(top_scratch_);
    std::vector<double>().swap(carries_);
    std::vector<std::size_t>().swap(position_);
    std::vector<double>().swap(daughter_tops_);
    std::vector<std::int64_t>().swap(exponent_);
    std::vector<std::size_t>().swap(missing_);
    std::vector<std::size_t>().swap(unread_);
    std::vector<std::size_t>().swap(readers_);
    std::vector<std::size_t>().swap(reader_begin_);
    std::vector<std::size_t>().swap(clade_of_node_);
    std::vector<std::size_t>().swap(child_clades_);
    lean_root_ = false;
    std::vector<std::size_t>().swap(split_index_);
    materialized_ = kNoTopEntry;
    window_start_.assign(1, 0);
    std::vector<std::size_t>().swap(window_index_);
    std::vector<Checkpoint>().swap(checkpoints_);
    std::vector<double>().swap(kept_top_);
    hold_window(0);
    std::vector<ScaledValue>().swap(root_terms_);
    adjoint_ = nullptr;
    graph_ = Graph{};
}

bool DatedScorer::root_of_several_splits(const CladeFamily& family) {
    const std::size_t root = family.size() - 1;
    if (family.is_tip(root)) return false;
    const std::size_t begin = family.split_begin[root];
    return !(family.split_begin[root + 1] - begin == 1 && family.split_weight[begin] == 1.0);
}

void DatedScorer::clade_graph(const CladeFamily& family, bool adjoint_root, bool share_tips) {
    graph_ = Graph{};
    clade_of_node_.clear();
    child_clades_.clear();
    const std::size_t root = family.size() - 1;
    adjoint_root = adjoint_root && root_of_several_splits(family);
    const std::size_t root_begin = family.split_begin[root];
    const std::size_t root_end = family.split_begin[root + 1];
    std::vector<std::size_t> node_of(family.size());
    // The scenario sampler names each node's clade: there every tip is its own node.
    std::vector<std::size_t> tip_of_species(share_tips ? model_.n : 0, kNoTopEntry);

    // With shared tips, the root's splits of a tip and its complement (a
    // clade that only the root reads) are grouped by the tip's branch: the
    // group's root terms are one term of the tip and a kMix node summing the
    // complements' splits. The complements themselves are not integrated.
    struct MixGroup {
        std::size_t branch = 0;
        std::size_t waiting = 0;         // terms not yet placed
        std::vector<std::size_t> terms;  // their nodes
        std::size_t node = kNoTopEntry;  // the kMix node, once every term is placed
        bool placed = false;             // its root term
    };
    struct MixSplit {
        std::size_t group;
        std::size_t left, right;  // clades
        double weight;
    };
    std::vector<MixGroup> groups;
    std::vector<std::vector<MixSplit>> mix_after;  // by their later child
    std::vector<std::uint8_t> mixed(family.size(), 0);
    std::vector<std::size_t> group_of_branch;
    std::vector<std::uint8_t> split_mixed(adjoint_root ? root_end - root_begin : 0, 0);
    if (adjoint_root && share_tips) {
        std::vector<std::size_t> readers(family.size(), 0);
        for (std::size_t split = family.split_begin[0]; split < family.split_begin[family.size()];
             ++split) {
            const auto l = static_cast<std::size_t>(family.split_left[split]);
            const auto r = static_cast<std::size_t>(family.split_right[split]);
            ++readers[l];
            if (r != l) ++readers[r];
        }
        group_of_branch.assign(model_.n, kNoTopEntry);
        mix_after.resize(family.size());
        for (std::size_t split = root_begin; split < root_end; ++split) {
            const auto l = static_cast<std::size_t>(family.split_left[split]);
            const auto r = static_cast<std::size_t>(family.split_right[split]);
            if (family.is_tip(l) == family.is_tip(r)) continue;
            const std::size_t tip = family.is_tip(l) ? l : r;
            const std::size_t other = tip == l ? r : l;
            const auto branch = static_cast<std::size_t>(family.species[tip]);
            if (readers[other] != 1 || branch >= model_.n) continue;
            if (family.split_begin[other + 1] == family.split_begin[other]) continue;
            if (group_of_branch[branch] == kNoTopEntry) {
                group_of_branch[branch] = groups.size();
                groups.emplace_back();
                groups.back().branch = branch;
            }
            const std::size_t group = group_of_branch[branch];
            mixed[other] = 1;
            split_mixed[split - root_begin] = 1;
            for (std::size_t inner = family.split_begin[other];
                 inner < family.split_begin[other + 1]; ++inner) {
                const auto a = static_cast<std::size_t>(family.split_left[inner]);
                const auto b = static_cast<std::size_t>(family.split_right[inner]);
                mix_after[std::max(a, b)].push_back(
                    {group, a, b, family.split_weight[split] * family.split_weight[inner]});
                ++groups[group].waiting;
            }
        }
    }
    // The root's other splits by their later child, each placed right after it.
    std::vector<std::vector<std::size_t>> terms_after;
    if (adjoint_root) {
        terms_after.resize(family.size());
        for (std::size_t split = root_begin; split < root_end; ++split) {
            if (split_mixed[split - root_begin]) continue;
            const auto later = static_cast<std::size_t>(
                std::max(family.split_left[split], family.split_right[split]));
            terms_after[later].push_back(split);
        }
    }
    auto add_root_term = [&](std::size_t left, std::size_t right, double weight) {
        graph_.root_left.push_back(left);
        graph_.root_right.push_back(right);
        graph_.root_weight.push_back(weight);
        graph_.add(kRootTerm, static_cast<std::int64_t>(graph_.root_left.size() - 1), left, right);
        clade_of_node_.push_back(root);
    };
    // A group's root term, once its kMix node and its branch's tip are both there.
    auto place_group = [&](MixGroup& group) {
        if (group.placed || group.node == kNoTopEntry) return;
        if (tip_of_species[group.branch] == kNoTopEntry) return;
        add_root_term(tip_of_species[group.branch], group.node, 1.0);
        group.placed = true;
    };
    auto add_terms_after = [&](std::size_t c) {
        if (!adjoint_root) return;
        for (std::size_t split : terms_after[c]) {
            add_root_term(node_of[family.split_left[split]], node_of[family.split_right[split]],
                          family.split_weight[split]);
        }
        if (mix_after.empty()) return;
        for (const MixSplit& term : mix_after[c]) {
            MixGroup& group = groups[term.group];
            // The last split placed is the kMix node's own.
            const bool own = --group.waiting == 0;
            graph_.add(own ? kMix : kMixTerm, -1, node_of[term.left], node_of[term.right]);
            graph_.weight.back() = term.weight;
            clade_of_node_.push_back(root);
            if (!own) {
                group.terms.push_back(graph_.size() - 1);
                continue;
            }
            group.node = graph_.size() - 1;
            for (std::size_t t : group.terms) {
                graph_.term_node.push_back(t);
                graph_.term_weight.push_back(1.0);
                graph_.species[t] = static_cast<std::int64_t>(group.node);
            }
            place_group(group);
        }
    };
    for (std::size_t c = 0; c < family.size(); ++c) {
        if (mixed[c]) continue;  // summed into its branch's kMix node
        if (family.is_tip(c)) {
            const std::size_t nodes = graph_.size();
            node_of[c] =
                tip_node(family.species[c], c + 1 < family.size() ? &tip_of_species : nullptr);
            if (graph_.size() != nodes) {
                clade_of_node_.push_back(c);
                const auto branch = static_cast<std::size_t>(family.species[c]);
                if (branch < group_of_branch.size() && group_of_branch[branch] != kNoTopEntry) {
                    place_group(groups[group_of_branch[branch]]);
                }
            }
            add_terms_after(c);
            continue;
        }
        const std::size_t begin = family.split_begin[c];
        const std::size_t end = family.split_begin[c + 1];
        auto add_pair = [&](std::size_t split) {
            graph_.add(kPair, -1, node_of[family.split_left[split]],
                       node_of[family.split_right[split]]);
            clade_of_node_.push_back(c);
            child_clades_.resize(2 * graph_.size(), kNoTopEntry);
            child_clades_[2 * graph_.size() - 2] = static_cast<std::size_t>(family.split_left[split]);
            child_clades_[2 * graph_.size() - 1] = static_cast<std::size_t>(family.split_right[split]);
            return graph_.size() - 1;
        };
        if (end - begin == 1 && family.split_weight[begin] == 1.0) {
            node_of[c] = add_pair(begin);
            add_terms_after(c);
            continue;
        }
        if (adjoint_root && c == root) {
            node_of[c] = graph_.size();
            graph_.add(kRoot, -1, 0, 0);
            clade_of_node_.push_back(c);
            continue;
        }
        std::vector<std::size_t> pairs;
        for (std::size_t split = begin; split < end; ++split) pairs.push_back(add_pair(split));
        node_of[c] = graph_.size();
        graph_.add(kSum, -1, 0, 0);
        clade_of_node_.push_back(c);
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            graph_.term_node.push_back(pairs[i]);
            graph_.term_weight.push_back(family.split_weight[begin + i]);
        }
        add_terms_after(c);
    }
    graph_.term_begin.push_back(graph_.term_node.size());
    child_clades_.resize(2 * graph_.size(), kNoTopEntry);
    for (const MixGroup& group : groups) {
        if (!group.placed) fault("a root split of a tip was left out of the family's graph");
    }
}

namespace {

// sum_j sum_k lambda_(j+1),k sigma_j,k over every step j of a slice for one
// split of the root, sigma_j the step's source from the split's children's
// vectors a_j and b_j (with transfers when `kMany`, from their sums too),
// as four interleaved partial sums kept across the steps and added up at
// the end: one call per slice, not per step. The same loop is built for the
// baseline instruction set and for 256-bit vectors, chosen at run time;
// both perform the same operations in the same order.
template <bool kMany>
[[gnu::always_inline]] inline double adjoint_sum_body(
    const double* __restrict lambda, const double* __restrict a_rows,
    const double* __restrict b_rows, const double* __restrict a_sums,
    const double* __restrict b_sums, std::size_t width, std::size_t steps, double dup,
    double tau) {
    double part[4] = {};
    for (std::size_t j = 0; j < steps; ++j) {
        const double* __restrict l = lambda + (j + 1) * width;
        const double* __restrict a = a_rows + j * width;
        const double* __restrict b = b_rows + j * width;
        const double sum_a = kMany ? a_sums[j] : 0.0;
        const double sum_b = kMany ? b_sums[j] : 0.0;
        auto weighted_source = [&](std::size_t k) {
            return l[k] * split_source<kMany>(dup, tau, a[k], b[k], sum_a, sum_b);
        };
        std::size_t k = 0;
        for (; k + 4 <= width; k += 4) {
            for (std::size_t i = 0; i < 4; ++i) part[i] = part[i] + weighted_source(k + i);
        }
        for (std::size_t i = 0; k < width; ++k, ++i) part[i] = part[i] + weighted_source(k);
    }
    return (part[0] + part[1]) + (part[2] + part[3]);
}

template <bool kMany>
double adjoint_sum(const double* lambda, const double* a_rows, const double* b_rows,
                   const double* a_sums, const double* b_sums, std::size_t width,
                   std::size_t steps, double dup, double tau) {
    return adjoint_sum_body<kMany>(lambda, a_rows, b_rows, a_sums, b_sums, width, steps, dup, tau);
}

template <bool kMany>
__attribute__((target("avx2"))) double adjoint_sum_avx2(const double* lambda,
                                                        const double* a_rows,
                                                        const double* b_rows,
                                                        const double* a_sums,
                                                        const double* b_sums, std::size_t width,
                                                        std::size_t steps, double dup,
                                                        double tau) {
    return adjoint_sum_body<kMany>(lambda, a_rows, b_rows, a_sums, b_sums, width, steps, dup, tau);
}

using AdjointSum = double (*)(const double*, const double*, const double*, const double*,
                              const double*, std::size_t, std::size_t, double, double);

}  // namespace

// The root's probability is linear in every internal node's vectors: what a
// split adds to it is the sum, over every step, of the step's source from the
// split's children times the derivative of the root's probability with
// respect to the value the step writes, and likewise for the speciation
// split at each slice start. The derivatives are the adjoint of the
// integration, run through the slices in the opposite order: a step
//   out_k = v_k - dt (decay_k v_k - gain_k (S - v_k) / others) + dt sigma_k
// passes back lambda_i = lambda'_i (1 - dt decay_i) + dt (G - lambda'_i gain_i) / others,
// with G the sum of lambda'_k gain_k; a slice start passes each continuing
// branch's derivative to its top and each speciation's to its daughters' tops.
const DatedScorer::RootAdjoint& DatedScorer::root_adjoint(std::uint8_t origination) {
    RootAdjoint& adjoint = adjoints_[origination == 1 ? 0 : 1];
    if (adjoint.built) return adjoint;
    const DatedExtinction& m = model_;
    const std::size_t n = m.n;
    assign_with_huge_pages(adjoint.rows, require_doubles(m.trajectory_size, "root adjoint"), 0.0);
    adjoint.exponent.assign(m.slices.size(), 0);
    // The derivative of the root's probability with respect to each branch top.
    std::vector<double> top(n, 0.0);
    if (origination == 1) {
        std::size_t count = 0;
        for (std::size_t b = 0; b < n; ++b) count += has_length(m.branch_length[b]) ? 1 : 0;
        for (std::size_t b = 0; b < n; ++b) {
            if (has_length(m.branch_length[b])) top[b] = 1.0 / static_cast<double>(count);
        }
    } else {
        const RootDaughters root = dated_root_daughters(m);
        top[root.right] = top[root.right] + m.e_top[root.left];
        top[root.left] = top[root.left] + m.e_top[root.right];
    }
    std::int64_t scale = 0;
    std::vector<std::uint8_t> is_end;
    for (std::size_t s = 0; s < m.slices.size(); ++s) {
        const TimeSlice& slice = m.slices[s];
        const std::size_t width = slice.width();
        if (width == 0) continue;
        const std::size_t steps = static_cast<std::size_t>(slice.steps);
        const int shift = rescale_exponent(max_magnitude(top.data(), n));
        if (shift != 0) {
            scale_down(top.data(), n, shift);
            scale += shift;
        }
        adjoint.exponent[s] = scale;
        double* rows = adjoint.rows.data() + m.trajectory_offset[s];
        double* last = rows + steps * width;
        for (std::size_t k = 0; k < width; ++k) {
            last[k] = top[slice.branches[k]];
            top[slice.branches[k]] = 0.0;
        }
        const bool many = width >= 2;
        const double others = static_cast<double>(width) - 1.0;
        for (std::size_t j = steps; j-- > 0;) {
            const double* next = rows + (j + 1) * width;
            double* here = rows + j * width;
            const double* decay = slice.decay.data() + j * width;
            const double* gain = slice.gain.data() + j * width;
            const double dt = slice.dt;
            if (many) {
                double g = 0.0;
                for (std::size_t k = 0; k < width; ++k) g = g + next[k] * gain[k];
                for (std::size_t k = 0; k < width; ++k) {
                    here[k] = next[k] * (1.0 - dt * decay[k]) + dt * (g - next[k] * gain[k]) / others;
                }
            } else {
                for (std::size_t k = 0; k < width; ++k) here[k] = next[k] * (1.0 - dt * decay[k]);
            }
        }
        is_end.assign(width, 0);
        for (const BranchEnd& end : slice.ends) {
            is_end[end.entry] = 1;
            if (end.tip) continue;
            top[end.right] = top[end.right] + rows[end.entry] * m.e_top[end.left];
            top[end.left] = top[end.left] + rows[end.entry] * m.e_top[end.right];
        }
        for (std::size_t k = 0; k < width; ++k) {
            if (!is_end[k]) top[slice.branches[k]] = top[slice.branches[k]] + rows[k];
        }
    }
    adjoint.built = true;
    return adjoint;
}

// A root term whose later child is a pair or a kMix node integrated in a
// later group than the other child has its sums through the adjoint formed
// in that node's steps, while its vectors are at hand: the same operations,
// in the same order, on the same values, without a second pass over both
// children's vectors. Each node forms at most one term.
void DatedScorer::plan_fused_terms() {
    fused_term_.clear();
    fused_slice_.clear();
    fused_shift_.clear();
    fused_lanes_.clear();
    fused_used_ = 0;
    fused_rescaled_ = 0;
    fused_in_mix_ = 0;
    const std::size_t size = graph_.size();
    if (!fuse_root_terms_ || !compact_ || adjoint_ == nullptr || size == 0 || graph_.kind.back() != kRoot) return;
    std::vector<std::size_t> group_of(size, kNoTopEntry);
    for (std::size_t k = 0; k + 1 < group_start_.size(); ++k) {
        for (std::size_t i = group_start_[k]; i < group_start_[k + 1]; ++i) group_of[groups_[i]] = k;
    }
    fused_term_.assign(size, kNoTopEntry);
    fused_slice_.assign(size, kNoTopEntry);
    fused_shift_.assign(size, 0);
    fused_lanes_.assign(checked_mul(size, 4, "root term sums"), 0.0);
    for (std::size_t t = 0; t < size; ++t) {
        if (graph_.kind[t] != kRootTerm) continue;
        const std::size_t c1 = graph_.left[t];
        const std::size_t c2 = graph_.right[t];
        if (c1 == c2 || group_of[c1] == kNoTopEntry || group_of[c2] == kNoTopEntry) continue;
        const std::size_t later = group_of[c1] > group_of[c2] ? c1 : c2;
        const std::size_t other = later == c1 ? c2 : c1;
        const bool integrated = graph_.kind[later] == kPair || graph_.kind[later] == kMix;
        if (!integrated || group_of[other] >= group_of[later]) continue;
        if (fused_term_[later] != kNoTopEntry) continue;
        fused_term_[later] = t;
        if (graph_.kind[later] == kMix) ++fused_in_mix_;
    }
}

// Slice s of a kRootTerm node: adds to its split's term what the split's
// children's vectors of the slice contribute, through the root's adjoint. The children
// have finished the slice (they are the node's inputs), and their vectors
// and tops are in their current scales.
void DatedScorer::root_terms(std::size_t s, std::size_t g) {
    const DatedExtinction& m = model_;
    const TimeSlice& slice = m.slices[s];
    const std::size_t width = slice.width();
    const std::size_t steps = static_cast<std::size_t>(slice.steps);
    const std::size_t rows_size = (steps + 1) * width;
    const bool many = width >= 2;
    const double tau = many ? m.transfer / (static_cast<double>(width) - 1.0) : 0.0;
    const double dup = m.dup;
    const double dt = slice.dt;
    const double* lambda = adjoint_->rows.data() + m.trajectory_offset[s];
    const AdjointSum kAdjointSums[2] = {
        wide_vectors() ? adjoint_sum_avx2<false> : adjoint_sum<false>,
        wide_vectors() ? adjoint_sum_avx2<true> : adjoint_sum<true>};
    const auto i = static_cast<std::size_t>(graph_.species[g]);
    const std::size_t c1 = graph_.left[g];
    const std::size_t c2 = graph_.right[g];
    const double* a_rows = slice_rows(c1, s);
    const double* b_rows = slice_rows(c2, s);
    const double* a_sums = slice_sums(c1, s, rows_size);
    const double* b_sums = slice_sums(c2, s, rows_size);
    double sums;
    if (!fused_slice_.empty() && fused_slice_[g] == s) {
        const double* lanes = fused_lanes_.data() + 4 * g;
        sums = ldexp_wide((lanes[0] + lanes[1]) + (lanes[2] + lanes[3]), -fused_shift_[g]);
        ++fused_used_;
        if (fused_shift_[g] != 0) ++fused_rescaled_;
    } else {
        sums = kAdjointSums[many ? 1 : 0](lambda, a_rows, b_rows, a_sums, b_sums, width, steps, dup,
                                          tau);
    }
    double total = dt * sums;
    if (!compact_) fault("a root split's terms need the compact layout of the tops");
    const double* left_top = previous_tops(c1, s);
    const double* right_top = previous_tops(c2, s);
    const SliceTopsMap& tops = slice_tops(s);
    for (std::size_t e = 0; e < slice.ends.size(); ++e) {
        const BranchEnd& end = slice.ends[e];
        if (end.tip) continue;
        total = total + lambda[end.entry] * end_split(tops, e, left_top, right_top);
    }
    const std::int64_t exponent = exponent_[c1] + exponent_[c2] + adjoint_->exponent[s];
    root_terms_[i] = add_scaled(root_terms_[i].value, root_terms_[i].exponent, total, exponent);
}

namespace {

// One step of a kMix node's split: adds (or, for the slice's first split,
// writes) the step's source from the split's children a and b, with its
// constants dup and tau already weighted and scaled. The same loop is built
// for the baseline instruction set and for 256-bit vectors.
template <bool kMany, bool kFirst>
[[gnu::always_inline]] inline void mix_source_body(const double* __restrict a,
                                                     const double* __restrict b,
                                                     double* __restrict source, std::size_t width,
                                                     double dup, double tau, double sum_a,
                                                     double sum_b) {
    for (std::size_t k = 0; k < width; ++k) {
        const double sigma = split_source<kMany>(dup, tau, a[k], b[k], sum_a, sum_b);
        source[k] = kFirst ? sigma : source[k] + sigma;
    }
}

template <bool kMany, bool kFirst>
void mix_source(const double* a, const double* b, double* source, std::size_t width, double dup,
                double tau, double sum_a, double sum_b) {
    mix_source_body<kMany, kFirst>(a, b, source, width, dup, tau, sum_a, sum_b);
}

template <bool kMany, bool kFirst>
__attribute__((target("avx2"))) void mix_source_avx2(const double* a, const double* b,
                                                     double* source, std::size_t width,
                                                     double dup, double tau, double sum_a,
                                                     double sum_b) {
    mix_source_body<kMany, kFirst>(a, b, source, width, dup, tau, sum_a, sum_b);
}

using MixSource = void (*)(const double*, const double*, double*, std::size_t, double, double,
                           double, double);

MixSource pick_mix_source(bool many, bool first) {
    if (wide_vectors()) {
        if (many) return first ? mix_source_avx2<true, true> : mix_source_avx2<true, false>;
        return first ? mix_source_avx2<false, true> : mix_source_avx2<false, false>;
    }
    if (many) return first ? mix_source<true, true> : mix_source<true, false>;
    return first ? mix_source<false, true> : mix_source<false, false>;
}

}  // namespace

// Slice s of a kMixTerm node: adds its split's sources, weighted, to its
// kMix node's rows (step j's in row j + 1, where the step writes), and its
// speciation terms at the slice's ends, in the kMix node's scale (see
// mix_split).
void DatedScorer::mix_term(std::size_t s, std::size_t g) {
    const DatedExtinction& m = model_;
    const TimeSlice& slice = m.slices[s];
    const std::size_t width = slice.width();
    const std::size_t steps = static_cast<std::size_t>(slice.steps);
    const std::size_t rows_size = (steps + 1) * width;
    const bool many = width >= 2;
    const auto u = static_cast<std::size_t>(graph_.species[g]);
    const std::size_t c1 = graph_.left[g];
    const std::size_t c2 = graph_.right[g];
    const bool first = mixed_in_[u] != s;
    const MixConstants step = mix_split(s, u, c1, c2, graph_.weight[g]);
    double* source = slice_rows(u, s) + width;
    const MixSource add = pick_mix_source(many, first);
    const double* a_rows = slice_rows(c1, s);
    const double* b_rows = slice_rows(c2, s);
    const double* a_sums = slice_sums(c1, s, rows_size);
    const double* b_sums = slice_sums(c2, s, rows_size);
    for (std::size_t j = 0; j < steps; ++j) {
        add(a_rows + j * width, b_rows + j * width, source + j * width, width, step.dup, step.tau,
            many ? a_sums[j] : 0.0, many ? b_sums[j] : 0.0);
    }
    // Until the node has a value other than 0, everything summed so far is 0
    // but this split's values.
    if (!started_[u] && max_magnitude(source, steps * width) > 0.0) started_[u] = 1;
    if (step.largest_split > 0.0) started_[u] = 1;
}

// One split (children c1, c2, weight w) of kMix node u in slice s: brings
// the node to the split's scale where the split's product is too far above
// it, adds the split's speciation terms at the slice's ends, and returns its
// step constants, weighted and in the node's scale. Until a split has added
// a value other than 0, the node (all 0) takes each split's scale, the
// product of its children's, as a pair does. After that a split whose
// product is too far above the node's scale brings the node (its tops, and
// what the slice has summed so far) to the split's; one too far below adds
// its values scaled down, in the way a sum's smaller terms are.
DatedScorer::MixConstants DatedScorer::mix_split(std::size_t s, std::size_t u, std::size_t c1,
                                                 std::size_t c2, double w) {
    const DatedExtinction& m = model_;
    const TimeSlice& slice = m.slices[s];
    const std::size_t width = slice.width();
    const std::size_t steps = static_cast<std::size_t>(slice.steps);
    const std::size_t rows_size = (steps + 1) * width;
    const bool many = width >= 2;
    double* splits = slice_splits(u, s, rows_size);
    const bool first = mixed_in_[u] != s;
    const std::int64_t product = exponent_[c1] + exponent_[c2];
    if (!started_[u]) exponent_[u] = product;
    const double dup = m.dup * w;
    const double tau = many ? (m.transfer / (static_cast<double>(width) - 1.0)) * w : 0.0;
    std::int64_t shift = exponent_[u] - product;
    if (shift < 0 && (shift < -kScaleLimit * 4 || !carries_shift(dup, shift) ||
                      !carries_shift(tau, shift))) {
        TopSpan spans[3];
        shift_spans(spans, top_spans(u, s, false, spans), shift);
        if (!first) {
            const TopSpan summed[2] = {{slice_rows(u, s) + width, steps * width},
                                       {splits, slice.ends.size()}};
            shift_spans(summed, 2, shift);
        }
        exponent_[u] = product;
        shift = 0;
    }
    MixConstants step{ldexp_wide(dup, -shift), ldexp_wide(tau, -shift), 0.0};
    if (!compact_) fault("a summed node's tops need the compact layout");
    const double* left_top = previous_tops(c1, s);
    const double* right_top = previous_tops(c2, s);
    const SliceTopsMap& tops = slice_tops(s);
    for (std::size_t e = 0; e < slice.ends.size(); ++e) {
        const BranchEnd& end = slice.ends[e];
        double v = 0.0;
        if (!end.tip) v = ldexp_wide(w * end_split(tops, e, left_top, right_top), -shift);
        splits[e] = first ? v : splits[e] + v;
        step.largest_split = std::fabs(v) > step.largest_split ? std::fabs(v) : step.largest_split;
    }
    mixed_in_[u] = s;
    return step;
}

double DatedScorer::score_graph(std::uint8_t origination) {
    const std::size_t size = graph_.size();
    // A tree keeps the in-order sums; a family of several rootings or trees
    // takes lane sums.
    lane_sums_ = std::any_of(graph_.kind.begin(), graph_.kind.end(),
                             [](std::uint8_t k) { return k != kTip && k != kPair; });
    const std::size_t n = model_.n;
    // The compact layout of the tops, where it holds the same values.
    compact_ = compact_possible_ && !whole_histories_ && graph_.kind.back() != kSum;
    std::size_t p_top_doubles =
        compact_ ? 0
                 : require_doubles(checked_mul(size, n, "per-node top probabilities"),
                                   "per-node top probabilities");
    keep_daughter_tops_ = false;
    if (origination != 1) {
        const RootDaughters root = dated_root_daughters(model_);
        daughter_[0] = root.left;
        daughter_[1] = root.right;
        keep_daughter_tops_ = compact_;
        for (std::size_t which = 0; which < 2; ++which) {
            const std::size_t b = daughter_[which];
            daughter_slice_[which] = first_slice_[b];
            daughter_entry_[which] = daughter_slice_[which] < model_.slices.size()
                                         ? entry_in(model_.slices[daughter_slice_[which]], b)
                                         : 0;
        }
    }

    // Whatever happens, the tree's state goes with it.
    struct Cleanup {
        DatedScorer& scorer;
        ~Cleanup() {
            if (scorer.keep_) return;  // kept for the sampler until release()
            std::vector<double>().swap(scorer.arena_);
            std::vector<std::uint8_t>().swap(scorer.started_);
            std::vector<std::size_t>().swap(scorer.mixed_in_);
            std::vector<std::int64_t>().swap(scorer.slice_exponents_);
            std::vector<double>().swap(scorer.p_top_);
            std::vector<std::int64_t>().swap(scorer.top_exponent_);
            std::vector<double>().swap(scorer.top_scratch_);
            std::vector<double>().swap(scorer.carries_);
            std::vector<std::size_t>().swap(scorer.position_);
            std::vector<double>().swap(scorer.daughter_tops_);
            std::vector<std::int64_t>().swap(scorer.exponent_);
            std::vector<std::size_t>().swap(scorer.fused_term_);
            std::vector<std::size_t>().swap(scorer.fused_slice_);
            std::vector<std::int64_t>().swap(scorer.fused_shift_);
            std::vector<double>().swap(scorer.fused_lanes_);
            std::vector<std::size_t>().swap(scorer.missing_);
            std::vector<std::size_t>().swap(scorer.unread_);
            std::vector<std::size_t>().swap(scorer.readers_);
            std::vector<std::size_t>().swap(scorer.reader_begin_);
            scorer.graph_ = Graph{};
        }
    } cleanup{*this};

    if (!planned_) {
        link_graph();
        plan_groups();
    }
    planned_ = false;
    if (compact_) {
        // A slice goes through the nodes in the same order every time: each
        // buffer of tops is placed by the node's place in that order, at
        // the slice's width, so a slice reads and writes them as two streams.
        // Only nodes with vectors have tops (not the terms of splits), so
        // the streams have no gaps.
        position_.assign(size, 0);
        std::size_t held = 0;
        for (std::size_t g : groups_) {
            if (has_vectors(g)) position_[g] = held++;
        }
        carry_half_ = require_doubles(checked_mul(held, carry_width_, "per-node top probabilities"),
                                      "per-node top probabilities");
        p_top_doubles = require_doubles(checked_mul(carry_half_, 2, "per-node top probabilities"),
                                        "per-node top probabilities");
    }
    // Kept for a root integrated as a tree's node (a sum's terms keep
    // their own tops).
    keep_root_tops_ = origination == 1 && graph_.kind.back() != kSum &&
                      graph_.kind.back() != kRoot;
    if (keep_root_tops_) {
        root_top_.assign(n, 0.0);
        root_top_exponent_.assign(n, 0);
    }
    if (keep_ && lean_root_) {
        // A lean root's splits share one slot, integrated there one at a time.
        slots_ = 0;
        for (std::size_t g = 0; g < size; ++g) {
            if (split_index_[g] == kNoTopEntry) slot_[g] = slots_++;
        }
        spare_slot_ = slots_++;
        for (std::size_t g = 0; g < size; ++g) {
            if (split_index_[g] != kNoTopEntry) slot_[g] = spare_slot_;
        }
    } else if (keep_) {
        for (std::size_t g = 0; g < size; ++g) slot_[g] = g;
        slots_ = size;
    }
    if (compact_) {
        assign_with_huge_pages(carries_, p_top_doubles, 0.0);
        if (keep_daughter_tops_) {
            daughter_tops_.assign(checked_mul(size, 2, "per-node top probabilities"), 0.0);
        }
    } else {
        assign_with_huge_pages(p_top_, p_top_doubles, 0.0);
        top_exponent_.assign(p_top_doubles, 0);
        top_scratch_.assign(require_doubles(checked_mul(3 * kGroup, n, "per-node top probabilities"),
                                            "per-node top probabilities"),
                            0.0);
    }
    exponent_.assign(size, 0);
    started_.assign(size, 0);
    mixed_in_.assign(size, kNoTopEntry);
    const std::size_t stride = slot_doubles();
    if (!whole_histories_) {
        slice_stride_.assign(model_.slices.size(), 0);
        for (std::size_t s = 0; s < model_.slices.size(); ++s) {
            slice_stride_[s] = slice_doubles(model_.slices[s]);
        }
    }
    slot_stride_ = stride;
    if (whole_histories_) {
        slice_exponents_.assign(
            require_doubles(checked_mul(size, model_.slices.size(), "slice scales"), "slice scales"),
            0);
    }
    assign_with_huge_pages(arena_,
                           require_doubles(checked_mul(slots_, stride, "dated scorer working set"),
                                           "dated scorer working set"),
                           0.0);

    const std::size_t group_count = group_start_.size() - 1;
    plan_fused_terms();
    if (whole_histories_) {
        // Node by node: each group through every slice of a window, window
        // by window from the latest; the sampler's checkpoints are each
        // node's state where a window starts.
        if (keep_) checkpoints_.assign(window_start_.size(), Checkpoint{});
        for (std::size_t k = window_start_.size(); k-- > 0;) {
            if (keep_ && k > 0) save_checkpoint(k);
            hold_window(k);
            run_window(k);
        }
        if (lean_root_) sum_lean_root();
    } else {
        // Slice by slice from the latest, every node of the tree: a node's
        // vectors of one slice are read only by its parent in the same slice.
        for (std::size_t s = model_.slices.size(); s-- > 0;) {
            if (model_.slices[s].width() == 0) continue;
            for (std::size_t k = 0; k < group_count; ++k) {
                run_group(s, groups_.data() + group_start_[k],
                          group_start_[k + 1] - group_start_[k]);
            }
        }
    }

    const ScaledValue l = root_probability(origination);
    return scaled_log(l.value, l.exponent);
}

double dated_tree_loglik(const DatedExtinction& model, const GeneTree& tree,
                         std::uint8_t origination) {
    DatedScorer scorer(model);
    return scorer.score(tree, origination);
}

}  // namespace korvath::reconciliation
