// What an engine's look-ahead worked out for the next event, kept so that
// the event itself need not work it out again. Both memos are keyed by
// everything their answer depends on, so a reuse can never change a run.
#pragma once

#include "simulation/branch_pick.h"
#include "simulation/rate_tree.h"
#include "simulation/rng.h"
#include "support/faults.h"

#include <cstdint>

namespace korvath {

// The branch pick for a target. The pick is a function of the rates and the
// target alone, so the memo holds only while the rates stay put: the engine
// calls forget() at every rate change.
class BranchPickMemo {
public:
    // Plays the next event's clock draws on `peek` (a copy of the engine's
    // generator): the waiting time, then the pick's target. Picks for that
    // target and remembers the answer; kNoBranch when no rate is left.
    std::uint32_t remember_next(const RateTree& rates, Rng& peek) {
        const double total = rates.total();
        if (!(total > 0.0)) return kNoBranch;
        peek.next_u64();  // the waiting time
        total_ = total;
        target_ = peek.pick_target(total);
        branch_ = pick_branch(rates, target_);
        valid_ = true;
        return branch_;
    }

    // pick_branch(rates, target), from the memo when it was made for the same
    // total and target since the last rate change. A memo serves once.
    std::uint32_t pick(const RateTree& rates, double total, double target) {
        if (valid_ && target_ == target && total_ == total) {
            valid_ = false;
            return branch_;
        }
        return pick_branch(rates, target);
    }

    void forget() { valid_ = false; }

private:
    bool valid_ = false;
    double total_ = 0.0;
    double target_ = 0.0;
    std::uint32_t branch_ = 0;
};

// A draw's remainder modulo a bound, a function of the two alone: a
// 64-bit division saved whenever the event draws what the look-ahead drew.
class RemainderMemo {
public:
    // draw % n, remembered; n must be positive.
    std::uint64_t remember(std::uint64_t draw, std::uint64_t n) {
        draw_ = draw;
        n_ = n;
        remainder_ = draw % n;
        return remainder_;
    }

    // rng.index_below(n): one draw, its remainder from the memo when the
    // draw and the bound match.
    std::uint64_t index_below(Rng& rng, std::uint64_t n) const {
        if (n == 0) fault("random index below 0 requested");
        const std::uint64_t draw = rng.next_u64();
        if (draw == draw_ && n == n_) return remainder_;
        return draw % n;
    }

private:
    std::uint64_t draw_ = 0;
    std::uint64_t n_ = 0;  // 0: nothing remembered (no draw is taken modulo 0)
    std::uint64_t remainder_ = 0;
};

}  // namespace korvath
