#include "reconciliation/time_grid.h"

#include "support/faults.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvath::reconciliation {

double round_to_grid(double t) { return std::round(t * 1e12) / 1e12; }

std::vector<double> build_time_grid(const std::vector<double>& node_times) {
    std::vector<double> grid;
    grid.reserve(node_times.size() + 1);
    for (double t : node_times) grid.push_back(round_to_grid(t));
    grid.push_back(0.0);
    if (std::any_of(grid.begin(), grid.end(), [](double t) { return std::isnan(t); })) {
        fault("species node time is NaN: the time grid cannot be ordered");
    }
    std::sort(grid.begin(), grid.end());
    grid.erase(std::unique(grid.begin(), grid.end()), grid.end());
    return grid;
}

std::uint64_t saturating_step_count(double c) {
    if (std::isnan(c) || c <= 0.0) return 0;
    // 2^64 is exactly representable; every double below it converts exactly
    // after truncation.
    constexpr double two_to_64 = 18446744073709551616.0;
    if (c >= two_to_64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(c);
}

std::uint64_t slice_step_count(double total_rate, double length, std::uint64_t n_steps) {
    std::uint64_t per_events = 0;
    if (length > 0.0) per_events = saturating_step_count(std::ceil((total_rate * length) * 4.0));
    return std::max(n_steps, per_events);
}

}  // namespace korvath::reconciliation
