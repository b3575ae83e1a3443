#include "reconciliation/undated_model.h"

#include "reconciliation/tree_shape.h"
#include "reconciliation/storage_budget.h"
#include "support/faults.h"

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

namespace {

// In-place sweeps of the extinction equation until no entry moves by 1e-13.
std::vector<double> extinction_fixed_point(const UndatedExtinction& model, double p_loss) {
    const std::size_t n = model.n;
    std::vector<double> e(n, 0.0);
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        double total = 0.0;
        for (std::size_t b = 0; b < n; ++b) total += e[b];
        double max_change = 0.0;
        for (std::size_t b = 0; b < n; ++b) {
            const double mean = mean_over_others(model, e.data(), total, b);
            const double both_lost =
                model.is_tip(b) ? 0.0 : e[model.left_child[b]] * e[model.right_child[b]];
            const double c = e[b];
            e[b] = (both_lost * model.p_speciation) +
                   ((model.p_transfer * c) * mean + (p_loss + (model.p_dup * c) * c));
            total += e[b] - c;
            max_change = std::fmax(max_change, std::fabs(e[b] - c));
        }
        if (max_change < kFixedPointTolerance) break;
    }
    return e;
}

}  // namespace

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
    if (model.reldated) model.recipients = build_recipients(sp_time, sp_parent_time, n);

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
