#include "simulation/branch_pick.h"

#include <algorithm>

namespace korvath {

std::uint32_t nearest_positive_branch(const RateTree& rates, double target) {
    std::uint32_t best = kNoBranch;
    double best_distance = 0.0;
    double low = 0.0;
    for (std::size_t i = 0; i < rates.size(); ++i) {
        const double w = rates.weight(i);
        const double high = low + w;
        if (w > 0.0) {
            const double distance = std::max({low - target, target - high, 0.0});
            if (best == kNoBranch || distance < best_distance) {
                best = static_cast<std::uint32_t>(i);
                best_distance = distance;
            }
        }
        low = high;
    }
    return best;
}

}  // namespace korvath
