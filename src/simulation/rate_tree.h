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

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvath {

class RateTree {
public:
    explicit RateTree(std::size_t n) : n_(n), weights_(n, 0.0) {
        top_ = n_ < 2 ? 1 : std::bit_floor(n_);
        // Slots past n hold +inf, so that the pick never steps onto them and
        // needs no bounds test: `target > +inf` is false, as for a skipped slot.
        tree_.assign(std::max(n_ + 1, 2 * top_), INFINITY);
        std::fill(tree_.begin(), tree_.begin() + static_cast<std::ptrdiff_t>(n_ + 1), 0.0);
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

    // Descends the Fenwick tree from the largest power of two not above n.
    // Written without data-dependent branches (the comparisons are random);
    // subtracting 0.0 leaves the target unchanged bit for bit. Both slots the
    // next level may read are loaded before this level's comparison is known,
    // so each level waits for a comparison and a subtraction but not for a
    // memory access. On x86-64 the comparison mask stays in the vector
    // registers that hold the sums, which saves two register transfers on
    // every level's critical path.
    std::size_t pick(double target) const {
        const double* tree = tree_.data();
        std::size_t h = 0;
        std::size_t s = top_;
#if defined(__SSE2__)
        __m128d t = _mm_set_sd(target);
        __m128d sum = _mm_load_sd(tree + s);
        for (; s > 1; s >>= 1) {
            const std::size_t half = s >> 1;
            const __m128d skipped = _mm_load_sd(tree + h + half);  // next if not taken
            const __m128d taken = _mm_load_sd(tree + h + s + half);  // next if taken (inside 2 * top)
            const __m128d mask = _mm_cmplt_sd(sum, t);  // target > sum: all ones, else 0 (NaN: 0)
            t = _mm_sub_sd(t, _mm_and_pd(sum, mask));
            h += s & static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_castpd_si128(mask)));
            sum = _mm_or_pd(_mm_and_pd(mask, taken), _mm_andnot_pd(mask, skipped));
        }
        h += static_cast<std::size_t>(_mm_comigt_sd(t, sum));  // the last level, s = 1
#else
        double sum = tree[s];
        for (; s > 1; s >>= 1) {
            const std::size_t half = s >> 1;
            const double skipped = tree[h + half];
            const double taken = tree[h + s + half];
            const std::uint64_t mask = 0 - static_cast<std::uint64_t>(target > sum);
            target -= std::bit_cast<double>(std::bit_cast<std::uint64_t>(sum) & mask);
            h += s & mask;
            sum = std::bit_cast<double>((std::bit_cast<std::uint64_t>(taken) & mask) |
                                        (std::bit_cast<std::uint64_t>(skipped) & ~mask));
        }
        h += static_cast<std::size_t>(target > sum);
#endif
        return h;
    }

private:
    std::size_t n_;
    std::size_t top_;
    std::vector<double> weights_;
    std::vector<double> tree_;  // 1-based Fenwick sums; slot 0 unused; +inf past n
    double total_ = 0.0;
};

}  // namespace korvath
