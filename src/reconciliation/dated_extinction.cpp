#include "reconciliation/dated_extinction.h"

#include "reconciliation/tree_shape.h"
#include "reconciliation/storage_budget.h"
#include "reconciliation/time_grid.h"
#include "support/faults.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace korvath::reconciliation {

namespace {

constexpr double kTimeTolerance = 1e-9;

// The slices [first, last) in which branch i is alive: started by the slice's
// earlier boundary, not ended before its later one, and of positive length.
// Both conditions are monotone along the grid, so the alive slices form one
// contiguous run, found by bisection with exactly the per-slice tests.
std::pair<std::size_t, std::size_t> alive_slices(const std::vector<double>& grid, double start,
                                                 double end) {
    const std::size_t m = grid.size() - 1;
    const auto slice_begin = grid.begin();
    const auto slice_end = grid.begin() + static_cast<std::ptrdiff_t>(m);
    const auto first = std::partition_point(
        slice_begin, slice_end, [&](double g) { return !(start <= g + kTimeTolerance); });
    const auto last = std::partition_point(
        grid.begin() + 1, grid.end(), [&](double h) { return end >= h - kTimeTolerance; });
    return {static_cast<std::size_t>(first - slice_begin),
            static_cast<std::size_t>(last - (grid.begin() + 1))};
}

// Fills every slice's alive branches, ascending, with one counting pass and
// one filling pass over the branches.
void assign_branches(std::vector<TimeSlice>& slices, const std::vector<double>& grid,
                     const std::vector<double>& sp_time, const std::vector<double>& sp_parent_time,
                     const std::vector<double>& branch_length) {
    const std::size_t n = branch_length.size();
    std::vector<std::pair<std::size_t, std::size_t>> ranges(n, {0, 0});
    std::vector<std::size_t> counts(slices.size(), 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (!has_length(branch_length[i])) continue;
        ranges[i] = alive_slices(grid, sp_parent_time[i], sp_time[i]);
        for (std::size_t s = ranges[i].first; s < ranges[i].second; ++s) ++counts[s];
    }
    for (std::size_t s = 0; s < slices.size(); ++s) slices[s].branches.reserve(counts[s]);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t s = ranges[i].first; s < ranges[i].second; ++s) {
            slices[s].branches.push_back(i);
        }
    }
}

// Rows of doubles a slice needs: its E rows, the decay and gain rows, and one
// gene node's trajectory rows. Faults when a count overflows.
struct SliceStorage {
    std::uint64_t e_rows_doubles;
    std::uint64_t step_rows_doubles;
};

SliceStorage slice_storage(const TimeSlice& slice) {
    const std::uint64_t rows = checked_add(slice.steps, 1, "Euler steps of a time slice");
    const std::uint64_t width = slice.width();
    return {checked_mul(rows, width, "per-step extinction vectors"),
            checked_mul(slice.steps, width, "per-step extinction vectors")};
}

// Checks every size the model and one gene node's history will need before
// anything large is allocated, and records the history layout.
void plan_storage(DatedExtinction& model) {
    std::uint64_t model_doubles = 0;
    std::uint64_t trajectory = 0;
    std::uint64_t sums = 0;
    model.trajectory_offset.assign(model.slices.size(), 0);
    model.sums_offset.assign(model.slices.size(), 0);
    for (std::size_t s = 0; s < model.slices.size(); ++s) {
        const TimeSlice& slice = model.slices[s];
        const SliceStorage need = slice_storage(slice);
        model_doubles = checked_add(model_doubles, need.e_rows_doubles, "dated extinction model");
        model_doubles = checked_add(model_doubles, need.step_rows_doubles, "dated extinction model");
        model_doubles = checked_add(model_doubles, need.step_rows_doubles, "dated extinction model");
        model.trajectory_offset[s] = static_cast<std::size_t>(trajectory);
        trajectory = checked_add(trajectory, need.e_rows_doubles, "gene node trajectory");
        model.sums_offset[s] = static_cast<std::size_t>(sums);
        if (slice.width() >= 2) sums = checked_add(sums, slice.steps, "gene node step sums");
        require_doubles(model_doubles, "dated extinction model");
        require_doubles(trajectory, "gene node trajectory");
    }
    model.trajectory_size = require_doubles(trajectory, "gene node trajectory");
    model.sums_size = require_doubles(sums, "gene node step sums");
}

void find_branch_ends(DatedExtinction& model) {
    for (TimeSlice& slice : model.slices) {
        for (std::size_t k = 0; k < slice.width(); ++k) {
            const std::size_t b = slice.branches[k];
            if (!(std::fabs(model.sp_time[b] - slice.t_end) < kTimeTolerance)) continue;
            BranchEnd end;
            end.entry = k;
            end.branch = b;
            end.tip = species_tip(model.sp_is_leaf, b);
            if (!end.tip) {
                end.left = species_child(model.sp_left, b, model.n, "sp_left");
                end.right = species_child(model.sp_right, b, model.n, "sp_right");
            }
            slice.ends.push_back(end);
        }
    }
}

double sum_in_order(const double* values, std::size_t count) {
    double sum = 0.0;
    for (std::size_t k = 0; k < count; ++k) sum += values[k];
    return sum;
}

// One backward Euler step of the extinction vector, recording the gene step's
// E-only factors of the same step.
void extinction_step(const DatedExtinction& model, double dt, std::size_t width,
                     const double* __restrict e, double* __restrict next,
                     double* __restrict decay, double* __restrict gain) {
    const double total = sum_in_order(e, width);
    const double others = static_cast<double>(width) - 1.0;
    const bool has_others = width >= 2;
    const double R = model.total_rate;
    const double dup = model.dup;
    const double transfer = model.transfer;
    const double loss = model.loss;
    const double two_dup = 2.0 * dup;
    for (std::size_t k = 0; k < width; ++k) {
        const double x = e[k];
        const double mean = has_others ? (total - x) / others : 0.0;
        next[k] = x - dt * ((((R * x) - loss) - (dup * x) * x) - (transfer * x) * mean);
        decay[k] = (R - two_dup * x) - transfer * mean;
        gain[k] = x * transfer;
    }
}

void integrate_slice(DatedExtinction& model, TimeSlice& slice) {
    const std::size_t width = slice.width();
    const std::size_t steps = static_cast<std::size_t>(slice.steps);
    slice.e_steps.assign((steps + 1) * width, 0.0);
    slice.decay.assign(steps * width, 0.0);
    slice.gain.assign(steps * width, 0.0);

    double* initial = slice.e_steps.data();
    for (std::size_t k = 0; k < width; ++k) initial[k] = model.e_top[slice.branches[k]];
    for (const BranchEnd& end : slice.ends) {
        initial[end.entry] = end.tip ? 0.0 : model.e_top[end.left] * model.e_top[end.right];
    }
    for (std::size_t j = 0; j < steps; ++j) {
        extinction_step(model, slice.dt, width, slice.e_steps.data() + j * width,
                        slice.e_steps.data() + (j + 1) * width, slice.decay.data() + j * width,
                        slice.gain.data() + j * width);
    }
    const double* last = slice.e_steps.data() + steps * width;
    for (std::size_t k = 0; k < width; ++k) model.e_top[slice.branches[k]] = last[k];
}

// Slice cut into pieces of the given step counts, listed from its later
// boundary H back (they sum to its steps): the same steps of the same length
// in the same order, with the slice's ends on the piece at H and, once the
// slice is integrated, each piece's rows the slice's own over its steps.
// Appended to `out` in increasing time, as the slices are: the earliest
// piece first.
void cut_slice(const TimeSlice& slice, const std::vector<std::uint64_t>& from_h,
               std::vector<TimeSlice>& out) {
    const std::size_t width = slice.width();
    const bool integrated = !slice.e_steps.empty();
    const auto row = [&](const std::vector<double>& rows, std::uint64_t j) {
        return rows.begin() + static_cast<std::ptrdiff_t>(j * width);
    };
    std::vector<TimeSlice> pieces(from_h.size());
    std::uint64_t first = 0;  // steps from H
    for (std::size_t c = 0; c < from_h.size(); ++c) {
        TimeSlice& piece = pieces[c];
        piece.steps = from_h[c];
        piece.dt = slice.dt;
        piece.t_end = slice.t_end - static_cast<double>(first) * slice.dt;
        piece.branches = slice.branches;
        if (c == 0) piece.ends = slice.ends;
        if (integrated) {
            piece.e_steps.assign(row(slice.e_steps, first), row(slice.e_steps, first + piece.steps + 1));
            piece.decay.assign(row(slice.decay, first), row(slice.decay, first + piece.steps));
            piece.gain.assign(row(slice.gain, first), row(slice.gain, first + piece.steps));
        }
        first += piece.steps;
    }
    for (std::size_t c = pieces.size(); c-- > 0;) out.push_back(std::move(pieces[c]));
}

// A gene node's probabilities fall by at most a factor 1 - dt R per step
// (every other term of a step adds), so over a slice of many expected events
// they can fall from the top of the double range to below its bottom before
// the scorer, which brings its vectors back into range slice by slice, sees
// them. Such a slice is cut into pieces of at most 64 / (dt R) steps, over
// which they fall by less than 2^-123: the same steps of the same length in
// the same order, so the same arithmetic, with the slice's ends on the piece
// that starts at its later boundary. A slice of at most 64 expected events
// per lineage (R (H - G) <= 64) is left whole.
void split_long_slices(DatedExtinction& model) {
    constexpr double kEventsPerPiece = 64.0;
    auto long_slice = [&](const TimeSlice& slice) {
        const double events = static_cast<double>(slice.steps) * (slice.dt * model.total_rate);
        return events > kEventsPerPiece && slice.width() > 0;
    };
    if (std::none_of(model.slices.begin(), model.slices.end(), long_slice)) return;
    std::vector<TimeSlice> pieces;
    for (TimeSlice& slice : model.slices) {
        if (!long_slice(slice)) {
            pieces.push_back(std::move(slice));
            continue;
        }
        const double per_step = slice.dt * model.total_rate;
        const auto most = static_cast<std::uint64_t>(std::max(1.0, kEventsPerPiece / per_step));
        // Full pieces from H, the rest in the earliest.
        std::vector<std::uint64_t> from_h;
        for (std::uint64_t first = 0; first < slice.steps; first += most) {
            from_h.push_back(std::min(most, slice.steps - first));
        }
        cut_slice(slice, from_h, pieces);
    }
    model.slices = std::move(pieces);
    plan_storage(model);
}

}  // namespace

DatedExtinction build_dated_extinction(std::size_t n, std::vector<std::int64_t> sp_left,
                                       std::vector<std::int64_t> sp_right,
                                       std::vector<std::uint8_t> sp_is_leaf,
                                       std::vector<double> sp_time,
                                       std::vector<double> sp_parent_time, std::uint64_t sp_root,
                                       DtlRates rates, std::uint64_t n_steps) {
    require_length(sp_time, n, "sp_time");
    require_length(sp_parent_time, n, "sp_parent_time");

    DatedExtinction model;
    model.n = n;
    model.sp_root = sp_root;
    model.dup = rates.dup;
    model.transfer = rates.transfer;
    model.loss = rates.loss;
    model.total_rate = (rates.dup + rates.transfer) + rates.loss;

    model.branch_length.resize(n);
    for (std::size_t i = 0; i < n; ++i) model.branch_length[i] = sp_time[i] - sp_parent_time[i];

    const std::vector<double> grid = build_time_grid(sp_time);
    model.slices.resize(grid.size() - 1);
    for (std::size_t s = 0; s + 1 < grid.size(); ++s) {
        TimeSlice& slice = model.slices[s];
        const double g = grid[s];
        const double h = grid[s + 1];
        slice.steps = slice_step_count(model.total_rate, h - g, n_steps);
        slice.dt = slice.steps == 0 ? 0.0 : (h - g) / static_cast<double>(slice.steps);
        slice.t_end = h;
    }
    assign_branches(model.slices, grid, sp_time, sp_parent_time, model.branch_length);
    plan_storage(model);

    model.sp_left = std::move(sp_left);
    model.sp_right = std::move(sp_right);
    model.sp_is_leaf = std::move(sp_is_leaf);
    model.sp_time = std::move(sp_time);
    find_branch_ends(model);
    split_long_slices(model);

    model.e_top.assign(n, 0.0);
    for (std::size_t s = model.slices.size(); s-- > 0;) {
        if (model.slices[s].width() > 0) integrate_slice(model, model.slices[s]);
    }
    return model;
}

DatedExtinction dated_in_pieces(const DatedExtinction& model, std::uint64_t most) {
    if (most == 0) fault("pieces of no steps");
    // Every field but the slices (copied piece by piece) and their layout
    // (planned for the pieces): a whole copy would hold the rows twice.
    DatedExtinction cut;
    cut.n = model.n;
    cut.sp_left = model.sp_left;
    cut.sp_right = model.sp_right;
    cut.sp_is_leaf = model.sp_is_leaf;
    cut.sp_time = model.sp_time;
    cut.branch_length = model.branch_length;
    cut.e_top = model.e_top;
    cut.sp_root = model.sp_root;
    cut.dup = model.dup;
    cut.transfer = model.transfer;
    cut.loss = model.loss;
    cut.total_rate = model.total_rate;
    for (const TimeSlice& slice : model.slices) {
        if (slice.steps <= most || slice.width() == 0) {
            cut.slices.push_back(slice);
            continue;
        }
        // As few pieces as `most` allows, of lengths at most one step apart:
        // the first `longer` from H one step longer than the rest.
        const std::uint64_t count = (slice.steps + most - 1) / most;
        const std::uint64_t base = slice.steps / count;
        const std::uint64_t longer = slice.steps % count;
        std::vector<std::uint64_t> from_h(count, base);
        for (std::uint64_t c = 0; c < longer; ++c) ++from_h[c];
        cut_slice(slice, from_h, cut.slices);
    }
    plan_storage(cut);
    return cut;
}

RootDaughters dated_root_daughters(const DatedExtinction& model) {
    if (model.sp_root >= model.n) {
        fault("sp_root " + std::to_string(model.sp_root) + " is outside the species tree of " +
              std::to_string(model.n) + " branches");
    }
    const auto root = static_cast<std::size_t>(model.sp_root);
    if (species_tip(model.sp_is_leaf, root)) {
        fault("sp_root " + std::to_string(root) + " is a tip, but the root mode needs its two children");
    }
    return {species_child(model.sp_left, root, model.n, "sp_left"),
            species_child(model.sp_right, root, model.n, "sp_right")};
}

}  // namespace korvath::reconciliation
