#include "reconciliation/dated_scorer.h"

#include "reconciliation/scaled_vectors.h"
#include "reconciliation/storage_budget.h"
#include "support/faults.h"

#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <string>
#include <utility>

namespace korvath::reconciliation {

// One gene node's per-step vectors (laid out as the model's trajectory plan)
// and the sum of each vector that a step reads, so that the parent reuses
// its children's sums instead of forming them again.
struct DatedScorer::History {
    std::vector<double> rows;
    std::vector<double> sums;
};

namespace {


// What one step of a gene node reads besides its own vector.
struct StepInputs {
    double dt;
    double dup;
    double tau;          // transfer / (M - 1)
    double others;       // M - 1
    double tip_add;      // dt * 0, the speciation-free source term of a tip
    double own_sum;      // sum of the node's vector
    double left_sum;     // sums of the children's vectors
    double right_sum;
    const double* decay;
    const double* gain;
    const double* left;  // children's vectors of the same step
    const double* right;
};

// v'_k = (v_k - dt ((decay_k v_k) - gain_k Pbar_k)) + dt sigma_k for the
// entries [begin, end), every entry from the same old vectors. Entries are
// independent, so the loop vectorises.
template <bool kInternal, bool kManyBranches>
[[gnu::always_inline]] inline void update_body(const StepInputs& in, std::size_t begin,
                                               std::size_t end, const double* __restrict v,
                                               double* __restrict out) {
    const double* __restrict decay = in.decay;
    const double* __restrict gain = in.gain;
    const double* __restrict a = in.left;
    const double* __restrict b = in.right;
    const double dt = in.dt;
    for (std::size_t k = begin; k < end; ++k) {
        const double vk = v[k];
        const double p_mean = kManyBranches ? (in.own_sum - vk) / in.others : 0.0;
        const double kept = vk - dt * ((decay[k] * vk) - gain[k] * p_mean);
        if constexpr (kInternal) {
            double sigma = (in.dup * a[k]) * b[k];
            if constexpr (kManyBranches) {
                sigma = sigma + ((in.right_sum - b[k]) * a[k] + (in.left_sum - a[k]) * b[k]) * in.tau;
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
template <bool kInternal, bool kManyBranches>
void update_entries(const StepInputs& in, std::size_t begin, std::size_t end, const double* v,
                    double* out) {
    update_body<kInternal, kManyBranches>(in, begin, end, v, out);
}

template <bool kInternal, bool kManyBranches>
__attribute__((target("avx2"))) void update_entries_avx2(const StepInputs& in, std::size_t begin,
                                                         std::size_t end, const double* v,
                                                         double* out) {
    update_body<kInternal, kManyBranches>(in, begin, end, v, out);
}

bool wide_vectors() {
    static const bool supported = __builtin_cpu_supports("avx2") != 0;
    return supported;
}

UpdateFn pick_update(bool internal, bool many) {
    if (wide_vectors()) {
        if (internal) return many ? update_entries_avx2<true, true> : update_entries_avx2<true, false>;
        return many ? update_entries_avx2<false, true> : update_entries_avx2<false, false>;
    }
    if (internal) return many ? update_entries<true, true> : update_entries<true, false>;
    return many ? update_entries<false, true> : update_entries<false, false>;
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

using GroupStep = void (*)(const StepInputs*, const UpdateFn*, std::size_t, const double* const*,
                           double* const*, double*);
constexpr std::size_t kGroup = 4;
constexpr GroupStep kGroupSteps[kGroup + 1] = {nullptr, group_step<1>, group_step<2>,
                                               group_step<3>, group_step<4>};
using GroupSums = void (*)(double* const*, std::size_t, double*);
constexpr GroupSums kGroupSums[kGroup + 1] = {nullptr, group_sums<1>, group_sums<2>,
                                              group_sums<3>, group_sums<4>};

}  // namespace

DatedScorer::DatedScorer(const DatedExtinction& model) : model_(model) {}
DatedScorer::~DatedScorer() = default;

std::unique_ptr<DatedScorer::History> DatedScorer::acquire() {
    if (!spare_.empty()) {
        std::unique_ptr<History> history = std::move(spare_.back());
        spare_.pop_back();
        return history;
    }
    // Refuse a working set beyond the machine before touching it.
    const std::uint64_t per_node =
        checked_add(model_.trajectory_size, model_.sums_size, "gene node history");
    const std::uint64_t histories = checked_mul(allocated_ + 1, per_node, "gene node histories");
    require_doubles(checked_add(histories, p_top_.size(), "dated scorer working set"),
                    "dated scorer working set");
    auto history = std::make_unique<History>();
    history->rows.resize(model_.trajectory_size);
    history->sums.resize(model_.sums_size);
    ++allocated_;
    return history;
}

void DatedScorer::recycle(std::unique_ptr<History> history) {
    if (history) spare_.push_back(std::move(history));
}

namespace {

// What the slice-by-slice work of one gene node reads and writes.
struct NodeWork {
    bool internal;
    std::int64_t species;      // a tip's species branch
    double* p_top;             // the node's P at the top of each branch
    const double* left_top;    // the children's, for an internal node
    const double* right_top;
    double* rows;              // the node's history
    double* sums;
    const double* left_rows;   // the children's histories
    const double* left_sums;
    const double* right_rows;
    const double* right_sums;
};

// P at the later boundary of a slice: carried over from the later slice for
// branches that continue, and for branches ending there the tip indicator or
// the speciation terms (one daughter lost, or the two children split).
void start_slice(const DatedExtinction& m, const TimeSlice& slice, const NodeWork& node,
                 double* rows) {
    const double* p_top = node.p_top;
    for (std::size_t k = 0; k < slice.width(); ++k) rows[k] = p_top[slice.branches[k]];
    for (const BranchEnd& end : slice.ends) {
        double v;
        if (end.tip) {
            v = (!node.internal && node.species == static_cast<std::int64_t>(end.branch)) ? 1.0 : 0.0;
        } else {
            const std::size_t f = end.left;
            const std::size_t h = end.right;
            v = m.e_top[f] * p_top[h] + m.e_top[h] * p_top[f];
            if (node.internal) {
                v = v + (node.left_top[h] * node.right_top[f] + node.left_top[f] * node.right_top[h]);
            }
        }
        rows[end.entry] = v;
    }
}

// The backward steps of slice s for `count` nodes side by side, recording
// every vector and the sums the steps read, then P at the top of the slice's
// branches. Each node's arithmetic is exactly that of the node alone.
void run_slice(const DatedExtinction& m, std::size_t s, const NodeWork* nodes, std::size_t count) {
    const TimeSlice& slice = m.slices[s];
    const std::size_t width = slice.width();
    const std::size_t steps = static_cast<std::size_t>(slice.steps);
    const std::size_t row_base = m.trajectory_offset[s];
    const std::size_t sum_base = m.sums_offset[s];
    const bool many = width >= 2;

    StepInputs in[kGroup] = {};
    UpdateFn update[kGroup] = {};
    double* rows[kGroup] = {};
    double next_sum[kGroup] = {};
    for (std::size_t i = 0; i < count; ++i) {
        const NodeWork& node = nodes[i];
        rows[i] = node.rows + row_base;
        start_slice(m, slice, node, rows[i]);
        update[i] = pick_update(node.internal, many);
        in[i].dt = slice.dt;
        in[i].dup = m.dup;
        in[i].others = static_cast<double>(width) - 1.0;
        in[i].tau = many ? m.transfer / in[i].others : 0.0;
        in[i].tip_add = slice.dt * 0.0;
    }
    if (many) kGroupSums[count](rows, width, next_sum);
    for (std::size_t j = 0; j < steps; ++j) {
        const double* v[kGroup] = {};
        double* out[kGroup] = {};
        for (std::size_t i = 0; i < count; ++i) {
            const NodeWork& node = nodes[i];
            if (many) {
                in[i].own_sum = next_sum[i];
                node.sums[sum_base + j] = next_sum[i];
                if (node.internal) {
                    in[i].left_sum = node.left_sums[sum_base + j];
                    in[i].right_sum = node.right_sums[sum_base + j];
                }
            }
            in[i].decay = slice.decay.data() + j * width;
            in[i].gain = slice.gain.data() + j * width;
            if (node.internal) {
                in[i].left = node.left_rows + row_base + j * width;
                in[i].right = node.right_rows + row_base + j * width;
            }
            v[i] = rows[i] + j * width;
            out[i] = rows[i] + (j + 1) * width;
        }
        if (many) {
            kGroupSteps[count](in, update, width, v, out, next_sum);
        } else {
            for (std::size_t i = 0; i < count; ++i) update[i](in[i], 0, width, v[i], out[i]);
        }
    }

    for (std::size_t i = 0; i < count; ++i) {
        const double* last = rows[i] + steps * width;
        for (std::size_t k = 0; k < width; ++k) nodes[i].p_top[slice.branches[k]] = last[k];
    }
}

}  // namespace

// Checks every internal node's children in node order (inside the tree,
// before their parent, and used by no other parent) and records each node's
// parent and its children still to be done.
void DatedScorer::check_tree(const GeneTree& tree) {
    const std::size_t size = tree.size();
    const std::size_t none = size;
    parent_.assign(size, none);
    missing_.assign(size, 0);
    for (std::size_t g = 0; g < size; ++g) {
        if (tree.is_tip(g)) continue;
        const std::size_t c1 = gene_child(tree, g, tree.left[g]);
        const std::size_t c2 = gene_child(tree, g, tree.right[g]);
        for (const std::size_t c : {c1, c2}) {
            if (parent_[c] == g) continue;  // both children the same node
            if (parent_[c] != none) {
                fault("gene node " + std::to_string(g) +
                      " has a child whose history was already used by another parent");
            }
            parent_[c] = g;
            ++missing_[g];
        }
    }
}

void DatedScorer::process_group(const GeneTree& tree, const std::size_t* nodes,
                                std::size_t count) {
    const std::size_t n = model_.n;
    NodeWork work[kGroup] = {};
    std::unique_ptr<History> own[kGroup];
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t g = nodes[i];
        own[i] = acquire();
        NodeWork& node = work[i];
        node.internal = !tree.is_tip(g);
        node.species = node.internal ? -1 : tree.species[g];
        node.p_top = p_top_.data() + g * n;
        node.rows = own[i]->rows.data();
        node.sums = own[i]->sums.data();
        if (node.internal) {
            const auto c1 = static_cast<std::size_t>(tree.left[g]);
            const auto c2 = static_cast<std::size_t>(tree.right[g]);
            const History* left = waiting_[c1].get();
            const History* right = waiting_[c2].get();
            node.left_top = p_top_.data() + c1 * n;
            node.right_top = p_top_.data() + c2 * n;
            node.left_rows = left->rows.data();
            node.left_sums = left->sums.data();
            node.right_rows = right->rows.data();
            node.right_sums = right->sums.data();
        }
    }

    for (std::size_t s = model_.slices.size(); s-- > 0;) {
        if (model_.slices[s].width() > 0) run_slice(model_, s, work, count);
    }

    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t g = nodes[i];
        History& history = *own[i];
        // Every value of an internal node is a sum of products of one value
        // of each child (through the speciation terms at slice starts and the
        // step's source), so it is computed in the scale of the children's
        // product and brought back to range afterwards when it has left it.
        std::size_t c1 = 0;
        std::size_t c2 = 0;
        if (work[i].internal) {
            c1 = static_cast<std::size_t>(tree.left[g]);
            c2 = static_cast<std::size_t>(tree.right[g]);
        }
        exponent_[g] = work[i].internal ? exponent_[c1] + exponent_[c2] : 0;
        const int shift = rescale_exponent(std::fmax(
            max_magnitude(history.rows.data(), history.rows.size()), max_magnitude(work[i].p_top, n)));
        if (shift != 0) {
            scale_down(history.rows.data(), history.rows.size(), shift);
            scale_down(history.sums.data(), history.sums.size(), shift);
            scale_down(work[i].p_top, n, shift);
            exponent_[g] += shift;
        }
        waiting_[g] = std::move(own[i]);
    }
    // The children's histories are never read again.
    for (std::size_t i = 0; i < count; ++i) {
        if (!work[i].internal) continue;
        const std::size_t g = nodes[i];
        recycle(std::move(waiting_[static_cast<std::size_t>(tree.left[g])]));
        recycle(std::move(waiting_[static_cast<std::size_t>(tree.right[g])]));
    }
}

ScaledValue DatedScorer::root_probability(const GeneTree& tree, std::uint8_t origination) const {
    const DatedExtinction& m = model_;
    const std::size_t n = m.n;
    const std::size_t r = tree.size() - 1;
    const double* p_root = p_top_.data() + r * n;
    const std::int64_t e_root = exponent_[r];
    if (origination == 1) {
        double sum = 0.0;
        std::size_t count = 0;
        for (std::size_t b = 0; b < n; ++b) {
            if (has_length(m.branch_length[b])) {
                sum += p_root[b];
                ++count;
            }
        }
        // No branch with length: the family has nowhere to start.
        return {count == 0 ? 0.0 : sum / static_cast<double>(count), e_root};
    }
    const RootDaughters root = dated_root_daughters(m);
    const std::size_t f = root.left;
    const std::size_t h = root.right;
    const double l = m.e_top[f] * p_root[h] + m.e_top[h] * p_root[f];
    if (tree.is_tip(r)) return {l, e_root};
    const std::size_t c1 = gene_child(tree, r, tree.left[r]);
    const std::size_t c2 = gene_child(tree, r, tree.right[r]);
    const double* p_left = p_top_.data() + c1 * n;
    const double* p_right = p_top_.data() + c2 * n;
    // The split into the two daughters is in the scale of the children's product.
    return add_scaled(l, e_root, p_left[h] * p_right[f] + p_left[f] * p_right[h],
                      exponent_[c1] + exponent_[c2]);
}

double DatedScorer::score(const GeneTree& tree, std::uint8_t origination) {
    require_nodes(tree);
    const std::size_t size = tree.size();
    const std::size_t n = model_.n;
    const std::size_t p_top_doubles =
        require_doubles(checked_mul(size, n, "per-node top probabilities"), "per-node top probabilities");

    // Whatever happens, the tree's state goes with it.
    struct Cleanup {
        DatedScorer& scorer;
        ~Cleanup() {
            scorer.waiting_.clear();
            std::vector<double>().swap(scorer.p_top_);
            std::vector<std::int64_t>().swap(scorer.exponent_);
            std::vector<std::size_t>().swap(scorer.parent_);
            std::vector<std::uint8_t>().swap(scorer.missing_);
        }
    } cleanup{*this};

    check_tree(tree);
    p_top_.assign(p_top_doubles, 0.0);
    exponent_.assign(size, 0);
    waiting_.clear();
    waiting_.resize(size);

    // Nodes whose children are done, lowest index first.
    std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> ready;
    for (std::size_t g = 0; g < size; ++g) {
        if (missing_[g] == 0) ready.push(g);
    }
    std::size_t group[kGroup];
    while (!ready.empty()) {
        std::size_t count = 0;
        while (count < kGroup && !ready.empty()) {
            group[count++] = ready.top();
            ready.pop();
        }
        process_group(tree, group, count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t p = parent_[group[i]];
            if (p < size && --missing_[p] == 0) ready.push(p);
        }
    }

    const ScaledValue l = root_probability(tree, origination);
    for (auto& history : waiting_) recycle(std::move(history));
    return scaled_log(l.value, l.exponent);
}

double dated_tree_loglik(const DatedExtinction& model, const GeneTree& tree,
                         std::uint8_t origination) {
    DatedScorer scorer(model);
    return scorer.score(tree, origination);
}

}  // namespace korvath::reconciliation
