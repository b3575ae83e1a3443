// Per-branch event rates with a running total, in a Fenwick tree: the global
// event clock of the simulators and the pick of the branch of the next event.
//
//   RateTree rates(n_nodes);
//   rates.set(node, rate);               // O(log n), no allocation
//   rates.total();                       // running sum of every change applied
//   rates.pick(target);                  // target in (0, total]: the node whose
//                                        // share of the cumulative sum (in node
//                                        // index order) contains target; n when
//                                        // rounding carries it past the end
// Use pick_branch (branch_pick.h) in engines: it adds the rounding guard.
#pragma once

#include "support/faults.h"

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

namespace korvath {

class RateTree {
public:
    explicit RateTree(std::size_t n) : n_(n), weights_(n, 0.0), tree_(n + 1, 0.0) {
        top_ = n_ < 2 ? 1 : std::bit_floor(n_);
    }

    std::size_t size() const { return n_; }
    double total() const { return total_; }
    double weight(std::size_t i) const { return weights_[i]; }
    const std::vector<double>& weights() const { return weights_; }

    void set(std::size_t i, double w) {
        if (i >= n_) {
            fault("rate tree: node " + std::to_string(i) + " is outside " + std::to_string(n_) +
                  " slots");
        }
        const double diff = w - weights_[i];
        if (diff == 0.0) return;  // a NaN difference goes on
        weights_[i] = w;
        total_ += diff;
        for (std::size_t j = i + 1; j <= n_; j += j & (~j + 1)) tree_[j] += diff;
    }

    std::size_t pick(double target) const {
        std::size_t h = 0;
        for (std::size_t s = top_; s > 0; s >>= 1) {
            if (h + s <= n_ && target > tree_[h + s]) {
                target -= tree_[h + s];
                h += s;
            }
        }
        return h;
    }

private:
    std::size_t n_;
    std::size_t top_;
    std::vector<double> weights_;
    std::vector<double> tree_;  // 1-based Fenwick sums; slot 0 unused
    double total_ = 0.0;
};

}  // namespace korvath
