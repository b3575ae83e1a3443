#include "reconciliation/undated_model.h"

#include "reconciliation/tree_shape.h"
#include "reconciliation/storage_budget.h"
#include "support/faults.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace korvath::reconciliation {

RecipientSets build_recipients(const std::vector<double>& sp_time,
                               const std::vector<double>& sp_parent_time, std::size_t n) {
    require_length(sp_time, n, "sp_time");
    require_length(sp_parent_time, n, "sp_parent_time");
    double latest = 1.0;
    for (double t : sp_time) latest = std::fmax(latest, t);  // fmax skips NaN
    const double tol = 1e-9 * latest;

    RecipientSets sets;
    sets.offsets.assign(n + 1, 0);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b < n; ++b) {
            if (b == a) continue;
            const double overlap = std::fmin(sp_time[a], sp_time[b]) -
                                   std::fmax(sp_parent_time[a], sp_parent_time[b]);
            if (overlap > tol) {
                if (sets.members.size() == sets.members.capacity()) {
                    // Growth doubles the list: refuse it past the machine's memory.
                    require_doubles(checked_mul(sets.members.capacity() + 1, 2, "recipient sets"),
                                    "recipient sets");
                }
                sets.members.push_back(b);
            }
        }
        sets.offsets[a + 1] = sets.members.size();
    }
    return sets;
}

OverlapIndex build_overlap_index(const std::vector<double>& sp_time,
                                 const std::vector<double>& sp_parent_time,
                                 const RecipientSets& sets, std::size_t n) {
    OverlapIndex index;
    double latest = 1.0;
    for (double t : sp_time) latest = std::fmax(latest, t);  // as the recipient lists do
    for (std::size_t b = 0; b < n; ++b) {
        if (!std::isfinite(sp_time[b]) || !std::isfinite(sp_parent_time[b])) return index;
    }
    const double tol = 1e-9 * latest;
    std::vector<double> cuts;
    for (std::size_t b = 0; b < n; ++b) {
        if (sp_time[b] - sp_parent_time[b] > tol) {
            index.spanning.push_back(b);
            cuts.push_back(sp_parent_time[b]);
            cuts.push_back(sp_time[b]);
        }
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    index.intervals = cuts.empty() ? 0 : cuts.size() - 1;
    index.lo.assign(n, 0);
    index.hi.assign(n, 0);
    auto position = [&](double t) {
        return static_cast<std::size_t>(std::lower_bound(cuts.begin(), cuts.end(), t) -
                                        cuts.begin());
    };
    for (std::size_t b : index.spanning) {
        index.lo[b] = position(sp_parent_time[b]);
        index.hi[b] = position(sp_time[b]) - 1;
    }
    index.by_start = index.spanning;
    std::stable_sort(index.by_start.begin(), index.by_start.end(),
                     [&](std::size_t a, std::size_t b) { return index.lo[a] < index.lo[b]; });
    std::vector<std::size_t> first_lo(index.by_start.size());
    for (std::size_t i = 0; i < index.by_start.size(); ++i) first_lo[i] = index.lo[index.by_start[i]];
    // How many spanning branches cover each interval (difference counts).
    std::vector<std::int64_t> covering(index.intervals + 1, 0);
    for (std::size_t b : index.spanning) {
        ++covering[index.lo[b]];
        --covering[index.hi[b] + 1];
    }
    for (std::size_t j = 1; j <= index.intervals; ++j) covering[j] += covering[j - 1];

    index.later_begin.assign(n, 0);
    index.later_end.assign(n, 0);
    index.count.assign(n, 0.0);
    std::vector<std::uint8_t> spans(n, 0);
    for (std::size_t b : index.spanning) spans[b] = 1;
    for (std::size_t a = 0; a < n; ++a) {
        const auto members = sets.of(a);
        index.count[a] = static_cast<double>(members.size());
        if (!spans[a]) {
            if (!members.empty()) return OverlapIndex{};
            continue;
        }
        index.later_begin[a] = static_cast<std::size_t>(
            std::upper_bound(first_lo.begin(), first_lo.end(), index.lo[a]) - first_lo.begin());
        index.later_end[a] = static_cast<std::size_t>(
            std::upper_bound(first_lo.begin(), first_lo.end(), index.hi[a]) - first_lo.begin());
        const std::size_t implied = static_cast<std::size_t>(covering[index.lo[a]] - 1) +
                                    (index.later_end[a] - index.later_begin[a]);
        if (implied != members.size()) return OverlapIndex{};
        for (std::size_t b : members) {
            const bool covers = spans[b] && index.lo[b] <= index.lo[a] && index.lo[a] <= index.hi[b];
            const bool starts_within =
                spans[b] && index.lo[a] < index.lo[b] && index.lo[b] <= index.hi[a];
            if (!covers && !starts_within) return OverlapIndex{};
        }
    }
    index.valid = true;
    return index;
}

namespace {

// Every branch after its daughters (depth-first, daughters in index order),
// or false when the daughter links run in a cycle.
bool children_first_order(const UndatedExtinction& model, std::vector<std::size_t>& order) {
    const std::size_t n = model.n;
    enum : std::uint8_t { kNew, kOpen, kDone };
    std::vector<std::uint8_t> state(n, kNew);
    std::vector<std::pair<std::size_t, int>> stack;  // branch, daughters pushed
    order.clear();
    order.reserve(n);
    for (std::size_t start = 0; start < n; ++start) {
        if (state[start] != kNew) continue;
        stack.push_back({start, 0});
        state[start] = kOpen;
        while (!stack.empty()) {
            auto& [b, pushed] = stack.back();
            if (model.is_tip(b) || pushed == 2) {
                state[b] = kDone;
                order.push_back(b);
                stack.pop_back();
                continue;
            }
            const std::size_t child = pushed == 0 ? model.left_child[b] : model.right_child[b];
            ++pushed;
            if (state[child] == kOpen) return false;
            if (state[child] == kNew) {
                state[child] = kOpen;
                stack.push_back({child, 0});
            }
        }
    }
    return true;
}

// In-place sweeps of the extinction equation in the model's sweep order
// until every entry has settled.
std::vector<double> extinction_fixed_point(const UndatedExtinction& model, double p_loss) {
    const std::size_t n = model.n;
    std::vector<double> e(n, 0.0);
    // Reldated means through the overlap index come from the values at the
    // start of each sweep; otherwise each sweep updates in place.
    const bool by_intervals = model.reldated && model.overlaps.valid;
    IntervalSums<double> sums;
    for (int sweep = 0; sweep < kMaxExtinctionSweeps; ++sweep) {
        double total = 0.0;
        for (std::size_t b = 0; b < n; ++b) total += e[b];
        if (by_intervals) sums.build(model.overlaps, e.data(), 0.0);
        bool all_settled = true;
        for (std::size_t b : model.sweep_order) {
            double mean;
            if (!by_intervals) {
                mean = mean_over_others(model, e.data(), total, b);
            } else if (model.overlaps.count[b] > 0.0) {
                mean = sums.others(model.overlaps, b, e[b], 0.0) / model.overlaps.count[b];
            } else {
                mean = 0.0;
            }
            const double both_lost =
                model.is_tip(b) ? 0.0 : e[model.left_child[b]] * e[model.right_child[b]];
            const double c = e[b];
            e[b] = (both_lost * model.p_speciation) +
                   ((model.p_transfer * c) * mean + (p_loss + (model.p_dup * c) * c));
            total += e[b] - c;
            all_settled = all_settled && settled(c, e[b]);
        }
        if (all_settled) break;
    }
    return e;
}

// The response v of the direct solve (see UndatedExtinction): the gene-node
// equation with no constant term and SP = 1. Returns false when it leaves
// no positive gap 1 - sum(v) (rates at or past criticality, or negative
// rates), in which case the scorer iterates instead.
bool prepare_direct_solve(UndatedExtinction& model) {
    const std::size_t n = model.n;
    const bool coupled = !model.reldated && model.p_transfer != 0.0;
    if (!model.children_first || (model.reldated && model.p_transfer != 0.0)) return false;
    model.coupling.assign(n, 0.0);
    model.solve_denominator.assign(n, 0.0);
    for (std::size_t z = 0; z < n; ++z) {
        if (coupled && n >= 2) {
            model.coupling[z] =
                model.transfer_extinction[z] / (static_cast<double>(n) - 1.0);
        }
        model.solve_denominator[z] = model.denominator[z] + model.coupling[z];
    }
    model.unit_response.assign(n, 0.0);
    direct_tree_pass(model, model.coupling.data(), model.unit_response.data());
    double sum = 0.0;
    for (double v : model.unit_response) sum += v;
    model.unit_response_gap = 1.0 - sum;
    return std::isfinite(sum) && model.unit_response_gap > 0.0;
}

}  // namespace

void direct_tree_pass(const UndatedExtinction& model, const double* source, double* out) {
    const double* e = model.extinction.data();
    const double ps = model.p_speciation;
    for (std::size_t z : model.sweep_order) {
        double w = 0.0;
        if (!model.is_tip(z)) {
            const std::size_t f = model.left_child[z];
            const std::size_t h = model.right_child[z];
            w = (out[h] * e[f] + out[f] * e[h]) * ps;
        }
        out[z] = (w + source[z]) / model.solve_denominator[z];
    }
}

UndatedExtinction build_undated_extinction(std::vector<std::int64_t> sp_left,
                                           std::vector<std::int64_t> sp_right,
                                           std::vector<std::uint8_t> sp_is_leaf,
                                           const std::vector<double>& sp_time,
                                           const std::vector<double>& sp_parent_time,
                                           std::uint64_t sp_root, DtlRates rates,
                                           std::uint8_t transfers) {
    UndatedExtinction model;
    const std::size_t n = sp_left.size();
    model.n = n;
    require_length(sp_right, n, "sp_right");
    require_length(sp_is_leaf, n, "sp_is_leaf");
    model.sp_left = std::move(sp_left);
    model.sp_right = std::move(sp_right);
    model.sp_is_leaf = std::move(sp_is_leaf);
    model.sp_root = sp_root;

    model.left_child.assign(n, 0);
    model.right_child.assign(n, 0);
    for (std::size_t b = 0; b < n; ++b) {
        if (model.is_tip(b)) continue;
        model.left_child[b] = species_child(model.sp_left, b, n, "sp_left");
        model.right_child[b] = species_child(model.sp_right, b, n, "sp_right");
    }

    const double g = ((rates.dup + 1.0) + rates.transfer) + rates.loss;
    model.p_speciation = 1.0 / g;
    model.p_dup = rates.dup / g;
    model.p_transfer = rates.transfer / g;
    const double p_loss = rates.loss / g;

    model.reldated = transfers == 1;
    if (model.reldated) {
        model.recipients = build_recipients(sp_time, sp_parent_time, n);
        model.overlaps = build_overlap_index(sp_time, sp_parent_time, model.recipients, n);
    }

    model.children_first = children_first_order(model, model.sweep_order);
    if (!model.children_first) {
        model.sweep_order.resize(n);
        for (std::size_t b = 0; b < n; ++b) model.sweep_order[b] = b;
    }

    model.extinction = extinction_fixed_point(model, p_loss);

    double sum = 0.0;
    for (double e : model.extinction) sum += e;
    model.extinction_sum = sum;
    model.extinction_mean.resize(n);
    model.transfer_extinction.resize(n);
    model.denominator.resize(n);
    const double two_dup = 2.0 * model.p_dup;
    for (std::size_t z = 0; z < n; ++z) {
        const double e = model.extinction[z];
        const double mean = mean_over_others(model, model.extinction.data(), sum, z);
        model.extinction_mean[z] = mean;
        model.transfer_extinction[z] = model.p_transfer * e;
        model.denominator[z] = (1.0 - two_dup * e) - model.p_transfer * mean;
    }
    model.direct = prepare_direct_solve(model);
    return model;
}

std::size_t undated_root(const UndatedExtinction& model) {
    if (model.sp_root >= model.n) {
        fault("sp_root " + std::to_string(model.sp_root) + " is outside the species tree of " +
              std::to_string(model.n) + " branches");
    }
    return static_cast<std::size_t>(model.sp_root);
}

}  // namespace korvath::reconciliation
