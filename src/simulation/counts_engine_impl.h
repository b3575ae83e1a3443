// The counts-only run, written once over the per-branch family store so that
// tests can run it over the plain linear-walk store as an oracle. Engines use
// simulate_counts (counts_engine.h), which runs it over FamilyCounts.
//
// The store type provides: static founders(n, arena), copy_total(), slot_of_copy(j),
// family_of_copy(j), prefetch_copy(j) (a hint only), count_at(slot), add_copy_at(slot), add_copy(id) -> slot,
// remove_copies_at(slot, k) and for_each_family(fn(id, count)) by ascending id.
#pragma once

#include "simulation/active_branches.h"
#include "simulation/branch_pick.h"
#include "simulation/copy_arena.h"
#include "simulation/counts_engine.h"
#include "simulation/look_ahead_memo.h"
#include "simulation/rate_tree.h"
#include "simulation/recipient.h"
#include "simulation/rng.h"
#include "support/faults.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvath {

template <class Store>
class CountsRun {
public:
    // Draws the branches' storage from `arena` when given (it must outlive the
    // run; its blocks all come back to it when the run ends), otherwise from
    // an arena of the run's own.
    // The arena's chunks are charged to `budget` when given.
    CountsRun(const SpeciesTree& tree, const SimParams& params, std::uint64_t max_events,
              CopyArena* arena = nullptr, StorageBudget* budget = nullptr)
        : budget_(budget),
          tree_(tree),
          params_(params),
          max_events_(max_events),
          per_copy_rate_((params.duplication + params.transfer) + params.loss),
          owned_arena_(arena == nullptr ? std::make_unique<CopyArena>() : nullptr),
          arena_(arena == nullptr ? owned_arena_.get() : arena),
          lineages_(tree.n_nodes()),
          active_(tree.n_nodes()),
          rates_(tree.n_nodes()),
          rng_(Rng::from_seed(params.seed)) {
        arena_->set_budget(budget_);
    }

    // A borrowed arena outlives the run: it stops charging the budget.
    ~CountsRun() { arena_->set_budget(nullptr); }
    CountsRun(const CountsRun&) = delete;
    CountsRun& operator=(const CountsRun&) = delete;

    ProfileRows run() {
        const std::vector<double>& time = tree_.time();
        // The founders' table takes about 9 bytes per family, and as much
        // again while it is built: a count that cannot fit ends the run
        // before any of it is made (a count the table cannot number at all,
        // above 2^31, stays the table's internal fault).
        if (budget_ != nullptr && params_.initial_size <= (std::uint64_t{1} << 31) &&
            params_.initial_size > budget_->limit() / 20) {
            budget_->exceeded();
        }
        // The founding families take the first ids, 0 .. initial_size-1.
        const Store founders = Store::founders(params_.initial_size, arena_);
        next_family_ = params_.initial_size;
        for (std::uint32_t child : tree_.children(tree_.root())) activate(child, Store(founders));

        double t = time[tree_.root()];
        for (std::uint32_t v : tree_.processing_order()) {
            const double end = time[v];
            run_events_until(t, end);
            end_branch(v);
            t = end;
        }
        rows_.n_families = next_family_;
        rows_.events = events_;
        return std::move(rows_);
    }

private:
    // Lets events happen on the active branches until the clock would pass
    // `end`. The clock `t` advances by each drawn waiting time, including the
    // last one that is discarded.
    void run_events_until(double& t, double end) {
        const double duplication = params_.duplication;
        const double dup_or_transfer = params_.duplication + params_.transfer;
        const double choice_scale = params_.loss + dup_or_transfer;
        for (;;) {
            const double total = rates_.total();
            if (!(total > 0.0)) return;
            const double wait = rng_.waiting_time(total);
            if (!std::isfinite(wait)) return;
            t += wait;
            if (!(t < end)) return;
            if (++events_ > max_events_) throw RunawayError(kCountsRunawayMessage);

            const std::uint32_t b = ahead_pick_.pick(rates_, total, rng_.pick_target(total));
            if (b == kNoBranch || !active_.contains(b)) {
                fault("event picked a branch that is not active");
            }
            const double c = static_cast<double>(lineages_[b].copy_total());
            const double x = rng_.next_f64() * (params_.origination + choice_scale * c);
            if (x < duplication * c) {
                duplicate(b);
            } else if (x < dup_or_transfer * c) {
                transfer(b, t);
            } else if (x < per_copy_rate_ * c) {
                lose(b);
            } else {
                originate(b);
            }
        }
    }

    // Once an event has made its last rate change: peeks at the next event's
    // draws (on a copy of the generator) to find its branch and the copy it
    // will most likely look up, and starts fetching that copy's place in the
    // branch's store, so that the memory accesses of the lookup overlap the
    // clock's draws. Only a hint: nothing here changes the run; the pick and
    // the copy's remainder are kept for the event to reuse.
    void look_ahead() {
        Rng peek = rng_;
        const std::uint32_t b = ahead_pick_.remember_next(rates_, peek);
        if (b >= lineages_.size()) return;  // also kNoBranch
        const Store& content = lineages_[b];
        const std::uint64_t n = content.copy_total();
        if (n == 0) return;
        const double c = static_cast<double>(n);
        const double x = peek.next_f64() *
                         (params_.origination + (params_.loss + (params_.duplication + params_.transfer)) * c);
        if (!(x < per_copy_rate_ * c)) return;  // an origination reads no copy
        content.prefetch_copy(ahead_index_.remember(peek.next_u64(), n));
    }

    // rng_.index_below(n), reusing the look-ahead's remainder when it applies.
    std::uint64_t copy_index_below(std::uint64_t n) { return ahead_index_.index_below(rng_, n); }

    // Where an event's new rate is known before its copy is looked up, the
    // rate is set first and the next event's look-ahead starts before the
    // lookup, so that the two lookups' memory accesses overlap. The rate set
    // is the same single set, with the same value, either way.
    void duplicate(std::uint32_t b) {
        Store& content = lineages_[b];
        const std::uint64_t n = content.copy_total();
        const std::uint64_t index = copy_index_below(n);
        const std::int64_t cap = params_.cap;
        if (cap < 0) {
            set_rate_for(b, n + 1);
            look_ahead();
            content.add_copy_at(content.slot_of_copy(index));
            return;
        }
        const std::size_t slot = content.slot_of_copy(index);
        if (static_cast<std::int64_t>(content.count_at(slot)) < cap) content.add_copy_at(slot);
        set_rate(b);
        look_ahead();
    }

    void transfer(std::uint32_t b, double t) {
        // The copy index is drawn before the recipient; which family it names
        // is looked up only once a recipient is found (the lookup draws
        // nothing).
        const std::uint64_t copy = copy_index_below(lineages_[b].copy_total());
        const std::uint32_t r = choose_recipient(rng_, active_, b, tree_, t, params_.options,
                                                 recipient_scratch_);
        if (r == kNoRecipient) {
            look_ahead();
            return;
        }
        if (!active_.contains(r)) fault("transfer recipient is not an active branch");
        Store& recipient = lineages_[r];
        // Without a cap or replacement, the arrival is all that changes.
        const bool only_arrival = params_.cap < 0 && !(params_.options.replacement > 0.0);
        if (only_arrival) {
            set_rate_for(r, recipient.copy_total() + 1);
            look_ahead();
        }
        const std::uint64_t family = lineages_[b].family_of_copy(copy);
        const std::size_t slot = recipient.add_copy(family);
        if (only_arrival) return;
        const std::uint64_t m = recipient.count_at(slot);
        // A negative cap read as unsigned is never exceeded.
        const auto cap = static_cast<std::uint64_t>(params_.cap);
        if (m > cap) {
            recipient.remove_copies_at(slot, static_cast<std::uint32_t>(m - cap));
        } else if (m >= 2 && rng_.chance(params_.options.replacement)) {
            recipient.remove_copies_at(slot, 1);
        }
        set_rate(r);
        look_ahead();
    }

    void lose(std::uint32_t b) {
        Store& content = lineages_[b];
        const std::uint64_t n = content.copy_total();
        const std::uint64_t index = copy_index_below(n);
        set_rate_for(b, n - 1);
        look_ahead();
        content.remove_copies_at(content.slot_of_copy(index), 1);
    }

    void originate(std::uint32_t b) {
        lineages_[b].add_copy(next_family_++);
        set_rate(b);
        look_ahead();
    }

    void set_rate(std::uint32_t b) { set_rate_for(b, lineages_[b].copy_total()); }

    // The rate of branch b when it holds `copies` copies.
    void set_rate_for(std::uint32_t b, std::uint64_t copies) {
        ahead_pick_.forget();
        rates_.set(b, per_copy_rate_ * static_cast<double>(copies) + params_.origination);
    }

    void activate(std::uint32_t c, Store content) {
        lineages_[c] = std::move(content);
        active_.append(c);
        set_rate(c);
    }

    void end_branch(std::uint32_t v) {
        ahead_pick_.forget();
        rates_.set(v, 0.0);
        active_.remove(v);  // faults when v never became active
        Store content = std::move(lineages_[v]);
        lineages_[v] = Store();
        if (!tree_.is_extant_leaf(v)) {
            // Every child gets the whole content; the last one takes it over.
            const auto children = tree_.children(v);
            for (std::size_t i = 0; i < children.size(); ++i) {
                if (i + 1 == children.size()) {
                    activate(children[i], std::move(content));
                } else {
                    activate(children[i], Store(content));
                }
            }
            return;
        }
        content.for_each_family([&](std::uint64_t family, std::uint32_t copies) {
            rows_.append(leaf_ordinal_, family, copies);
        });
        ++leaf_ordinal_;
    }

    StorageBudget* budget_;
    const SpeciesTree& tree_;
    const SimParams params_;
    const std::uint64_t max_events_;
    const double per_copy_rate_;  // ((duplication + transfer) + loss)

    // Storage of the branches' contents; declared before them, so that it
    // outlives them.
    std::unique_ptr<CopyArena> owned_arena_;
    CopyArena* arena_;
    std::vector<Store> lineages_;  // content of each active branch
    ActiveBranches active_;
    RateTree rates_;
    Rng rng_;
    RecipientScratch recipient_scratch_;

    BranchPickMemo ahead_pick_;
    RemainderMemo ahead_index_;

    std::uint64_t next_family_ = 0;
    std::uint64_t events_ = 0;
    std::uint32_t leaf_ordinal_ = 0;
    ProfileRows rows_;
};

}  // namespace korvath
