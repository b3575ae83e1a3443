// The dated model's time grid: the species node times rounded to 12 decimals,
// together with time 0, sorted and without repeats. Consecutive grid points
// bound the slices over which the alive branches stay the same.
#pragma once

#include <cstdint>
#include <vector>

namespace korvath::reconciliation {

// round(t * 1e12) / 1e12, halves rounded away from zero.
double round_to_grid(double t);

// Sorted distinct grid points from every node time plus 0.0. A NaN time is
// an internal fault.
std::vector<double> build_time_grid(const std::vector<double>& node_times);

// A ceil()ed step count converted to an unsigned 64-bit integer with
// saturation: NaN and negatives give 0, values past 2^64 - 1 give 2^64 - 1.
std::uint64_t saturating_step_count(double c);

// Euler steps for a slice of the given length: at least `n_steps`, and at
// least four per unit of expected events (total_rate * length).
std::uint64_t slice_step_count(double total_rate, double length, std::uint64_t n_steps);

}  // namespace korvath::reconciliation
