// Picking the branch that carries the next event, with a guard against
// rounding. The Fenwick partial sums and the running total drift apart in the
// last bits, so a target near the total can land past the last node, or on a
// node whose rate is 0. Such a pick falls back to the branch of positive rate
// whose cumulative range (summed in node-index order) lies nearest the target;
// a pick that lands on a node with a nonzero rate is returned unchanged.
#pragma once

#include "simulation/rate_tree.h"

#include <cstdint>
#include <limits>

namespace korvath {

inline constexpr std::uint32_t kNoBranch = std::numeric_limits<std::uint32_t>::max();

// The rare path of pick_branch: kNoBranch when no node has a positive rate.
std::uint32_t nearest_positive_branch(const RateTree& rates, double target);

inline std::uint32_t pick_branch(const RateTree& rates, double target) {
    const std::size_t h = rates.pick(target);
    if (h < rates.size() && rates.weight(h) != 0.0) return static_cast<std::uint32_t>(h);
    return nearest_positive_branch(rates, target);
}

}  // namespace korvath
