#include "simulation/log_engine.h"

#include "simulation/active_branches.h"
#include "simulation/branch_pick.h"
#include "simulation/family_index.h"
#include "simulation/look_ahead_memo.h"
#include "support/huge_pages.h"
#include "simulation/rate_tree.h"
#include "simulation/recipient.h"
#include "simulation/removal_candidates.h"
#include "simulation/rng.h"
#include "simulation/dated_tree.h"
#include "support/faults.h"
#include "support/memory_budget.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <utility>

namespace korvath {
namespace {

// The content of one active branch. `families` (the copy count and positions
// of each family) is kept only when the cap or the replacement rule needs it;
// it never changes the run otherwise. It lives behind a pointer so that the
// per-branch array stays small (every event reads its branch's entry).
struct LineageCopies {
    CopyList copies;
    std::unique_ptr<FamilyIndex> families;
};

constexpr std::int64_t kNone = -1;

class LogEngine {
public:
    LogEngine(SpeciesTreeArrays arrays, const SimParams& params, const LogEngineOptions& options)
        : tree_(std::move(arrays)),
          params_(params),
          options_(options),
          arena_(std::make_unique<CopyArena>()),
          active_(tree_.n_nodes()),
          rates_(tree_.n_nodes()),
          rng_(Rng::from_seed(params.seed)),
          copy_rate_((params.duplication + params.transfer) + params.loss),
          dup_transfer_(params.duplication + params.transfer),
          track_counts_(params.cap >= 0 || params.options.replacement > 0.0),
          budget_(budget_limit(options),
                  memory_runaway_message(budget_limit(options), kFamilyRunawayMessage)) {
        arena_->set_budget(&budget_);
        lineages_.reserve(tree_.n_nodes());
        for (std::size_t v = 0; v < tree_.n_nodes(); ++v) lineages_.push_back(empty_lineage());
        tree_.require_two_children();
    }

    LogEngineResult run() {
        double t = tree_.time()[tree_.root()];
        found_root_families(t);
        for (const std::uint32_t v : tree_.processing_order()) {
            const double end = tree_.time()[v];
            run_clock_until(t, end);
            end_branch(v, end);
            t = end;
        }
        LogEngineResult result;
        result.log = std::move(log_);
        result.extant_copies = std::move(extant_);
        result.events = events_;
        result.n_families = next_family_;
        result.n_nodes = tree_.n_nodes();
        lineages_.clear();  // the extant leaves' lists are all the arena still holds
        arena_->release_free_memory();
        arena_->set_budget(nullptr);  // the arena outlives the run and its budget
        result.copy_storage = std::move(arena_);
        return result;
    }

private:
    // A branch without copies whose list draws from the run's arena (a
    // list moved in from another branch keeps the same arena).
    LineageCopies empty_lineage() const {
        return LineageCopies{CopyList(ArenaAllocator<GeneCopy>(arena_.get())),
                             track_counts_ ? std::make_unique<FamilyIndex>() : nullptr};
    }

    static std::size_t budget_limit(const LogEngineOptions& options) {
        return options.memory_budget != 0 ? options.memory_budget : memory_budget_bytes();
    }

    void found_root_families(double t) {
        const std::uint32_t root = tree_.root();
        // Each founding family takes an O row and a copy: a count whose rows
        // and copies cannot fit ends the run before any is made.
        if (params_.initial_size > budget_.limit() / (kRowBytes + sizeof(GeneCopy))) {
            budget_.exceeded();
        }
        LineageCopies content = empty_lineage();
        for (std::uint64_t k = 0; k < params_.initial_size; ++k) {
            const std::uint64_t f = next_family_++;
            const std::uint64_t g = next_gene_++;
            add_copy(content, GeneCopy{g, f});
            append_row(EventKind::Origination, root, t, f, g);
        }
        speciate(root, t, std::move(content));
    }

    // Events on the active branches until the clock would pass `end`.
    void run_clock_until(double& t, double end) {
        const double dup = params_.duplication;
        const double dup_transfer = params_.duplication + params_.transfer;
        const double origination = params_.origination;
        const double loss = params_.loss;
        for (;;) {
            const double total = rates_.total();
            if (total <= 0.0) return;
            const double wait = rng_.waiting_time(total);
            if (!std::isfinite(wait)) return;
            t += wait;
            if (t >= end) return;
            if (++events_ > options_.max_events) throw RunawayError(kFamilyRunawayMessage);

            const std::uint32_t b = ahead_pick_.pick(rates_, total, rng_.pick_target(total));
            if (b == kNoBranch) continue;  // rounding left no branch with a rate
            if (!active_.contains(b)) fault("event picked inactive branch " + std::to_string(b));
            const std::size_t n = lineages_[b].copies.size();
            const double c = static_cast<double>(n);
            const double x = rng_.scaled_uniform(origination + (loss + dup_transfer) * c);
            if (dup * c > x) {
                duplicate(b, t, n);
            } else if (dup_transfer * c > x) {
                transfer(b, t, n);
            } else if (copy_rate_ * c > x) {
                lose(b, t, n);
            } else {
                originate(b, t);
                look_ahead();
            }
        }
    }

    // Once an event has made its last rate change: peeks at the next event's
    // draws (on a copy of the generator) to find its branch and the copy it
    // will most likely read, and starts fetching that copy so that its cache
    // miss overlaps the rest of this event. Only a hint: nothing here changes
    // the run; the pick is kept for the next event while the rates stay put.
    void look_ahead() {
        Rng peek = rng_;
        const std::uint32_t b = ahead_pick_.remember_next(rates_, peek);
        if (b >= lineages_.size()) return;  // also kNoBranch
        const CopyList& copies = lineages_[b].copies;
        const std::size_t n = copies.size();
        if (n == 0) return;
        const double c = static_cast<double>(n);
        const double x = peek.scaled_uniform(params_.origination +
                                             (params_.loss + dup_transfer_) * c);
        if (params_.duplication * c > x) {
            __builtin_prefetch(copies.data() + peek_copy_index(peek, n));
        } else if (dup_transfer_ * c > x) {
            peek.next_u64();  // the recipient (uniform or weighted: one draw)
            __builtin_prefetch(copies.data() + peek_copy_index(peek, n));
        } else if (copy_rate_ * c > x) {
            __builtin_prefetch(copies.data() + peek_copy_index(peek, n));
        }
    }

    // The copy position the look-ahead expects, remembered with the draw and
    // the list length it came from.
    std::size_t peek_copy_index(Rng& peek, std::size_t n) {
        return static_cast<std::size_t>(ahead_index_.remember(peek.next_u64(), n));
    }

    // rng_.index_below(n), reusing the look-ahead's remainder when it applies.
    std::size_t copy_index_below(std::size_t n) {
        return static_cast<std::size_t>(ahead_index_.index_below(rng_, n));
    }

    void duplicate(std::uint32_t b, double t, std::size_t n) {
        LineageCopies& lineage = lineages_[b];
        const std::size_t i = copy_index_below(n);
        if (params_.cap < 0) {
            // The outcome is known before the copy is read: update the rate
            // while the (often uncached) copy is on its way.
            __builtin_prefetch(&lineage.copies[i]);
            set_rate_for(b, n + 1);
            look_ahead();
            const GeneCopy copy = lineage.copies[i];
            record_duplication(lineage, b, t, i, copy);
            return;
        }
        const GeneCopy copy = lineage.copies[i];
        if (static_cast<std::int64_t>(lineage.families->count(copy.family)) >= params_.cap) {
            return;  // refused: the family is at its cap on this branch
        }
        record_duplication(lineage, b, t, i, copy);
        set_rate(b);
        look_ahead();
    }

    void record_duplication(LineageCopies& lineage, std::uint32_t b, double t, std::size_t i,
                            GeneCopy copy) {
        const std::uint64_t a = mint_pair();
        swap_remove(lineage, i);
        add_copy(lineage, GeneCopy{a, copy.family});
        add_copy(lineage, GeneCopy{a + 1, copy.family});
        append_row(EventKind::Duplication, b, t, copy.family, copy.gene, static_cast<std::int64_t>(a));
    }

    void transfer(std::uint32_t b, double t, std::size_t n) {
        const std::uint32_t r =
            choose_recipient(rng_, active_, b, tree_, t, params_.options, recipient_scratch_);
        if (r == kNoRecipient) {
            look_ahead();
            return;
        }
        // Start fetching the end of the recipient's list alongside the donor copy.
        const CopyList& arrivals = lineages_[r].copies;
        __builtin_prefetch(arrivals.data() + arrivals.size(), 1);
        const std::size_t i = copy_index_below(n);
        GeneCopy& donor_copy = lineages_[b].copies[i];
        if (!track_counts_) {
            // No removal can follow the arrival: both rates are known already.
            __builtin_prefetch(&donor_copy);
            set_rate(b);
            set_rate_for(r, lineages_[r].copies.size() + 1);
            look_ahead();
        }
        const GeneCopy copy = donor_copy;
        const std::uint64_t a = mint_pair();
        donor_copy.gene = a;  // the copy that stays on the donor gets a new id
        add_copy(lineages_[r], GeneCopy{a + 1, copy.family});
        append_row(EventKind::Transfer, b, t, copy.family, copy.gene, static_cast<std::int64_t>(a), r);
        if (track_counts_) {
            remove_after_arrival(r, t, copy.family, a + 1);
            set_rate(b);
            set_rate(r);
            look_ahead();
        }
    }

    // The cap and the replacement rule on the recipient after a copy arrived.
    void remove_after_arrival(std::uint32_t r, double t, std::uint64_t family,
                              std::uint64_t arrived) {
        LineageCopies& lineage = lineages_[r];
        const std::uint64_t m = lineage.families->count(family);
        std::uint64_t k = 0;
        if (params_.cap >= 0 && m > static_cast<std::uint64_t>(params_.cap)) {
            k = m - static_cast<std::uint64_t>(params_.cap);
        } else if (m >= 2 && params_.options.replacement > 0.0) {
            k = rng_.chance(params_.options.replacement) ? 1 : 0;
        }
        for (; k > 0; --k) {
            charge_removal_search(lineage, family);
            find_removal_candidates(lineage.copies, *lineage.families, family, arrived,
                                    candidates_);
            if (options_.check_removals) check_removal_candidates(lineage, family, arrived);
            const std::vector<std::size_t>& chosen = candidates_.chosen();
            if (chosen.empty()) continue;
            const std::size_t p = chosen[rng_.index_below(chosen.size())];
            const std::uint64_t gene = lineage.copies[p].gene;
            swap_remove(lineage, p);
            append_row(EventKind::Loss, r, t, family, gene);
        }
    }

    // Counts the positions the next removal search walks (as
    // find_removal_candidates chooses: the family's copies, or the whole list
    // when the family holds a large share of it); stops a run whose searches
    // have become the bulk of its work on a family growing without bound.
    void charge_removal_search(const LineageCopies& lineage, std::uint64_t family) {
        const std::size_t m = lineage.families->count(family);
        removal_work_ += m * 8 > lineage.copies.size() ? lineage.copies.size() : m;
        if (m > options_.max_removal_family && removal_work_ > options_.max_removal_work) {
            throw RunawayError(kFamilyRunawayMessage);
        }
    }

    // Debug mode: the candidates must match a walk of the whole list.
    void check_removal_candidates(const LineageCopies& lineage, std::uint64_t family,
                                  std::uint64_t arrived) {
        RemovalCandidates indexed;
        index_removal_candidates(lineage.copies, *lineage.families, family, arrived, indexed);
        RemovalCandidates scanned;
        scan_removal_candidates(lineage.copies, family, arrived, scanned);
        if (indexed.residents != scanned.residents || indexed.arrived != scanned.arrived ||
            candidates_.residents != scanned.residents || candidates_.arrived != scanned.arrived) {
            fault("removal candidates disagree with a scan of the copy list");
        }
    }

    void lose(std::uint32_t b, double t, std::size_t n) {
        LineageCopies& lineage = lineages_[b];
        const std::size_t i = copy_index_below(n);
        __builtin_prefetch(&lineage.copies[i]);
        set_rate_for(b, n - 1);  // known before the copy is read
        look_ahead();
        const GeneCopy copy = lineage.copies[i];
        swap_remove(lineage, i);
        append_row(EventKind::Loss, b, t, copy.family, copy.gene);
    }

    void originate(std::uint32_t b, double t) {
        const std::uint64_t f = next_family_++;
        const std::uint64_t g = next_gene_++;
        add_copy(lineages_[b], GeneCopy{g, f});
        append_row(EventKind::Origination, b, t, f, g);
        set_rate(b);
    }

    void end_branch(std::uint32_t v, double end) {
        ahead_pick_.forget();
        rates_.set(v, 0.0);
        active_.remove(v);
        LineageCopies content = std::exchange(lineages_[v], empty_lineage());
        if (tree_.is_extant_leaf(v)) {
            extant_.push_back(ExtantCopies{v, std::move(content.copies)});
        } else if (!tree_.children(v).empty()) {
            speciate(v, end, std::move(content));
        }
        // An extinct leaf: the content vanishes without a record.
    }

    void speciate(std::uint32_t v, double t, LineageCopies content) {
        const auto children = tree_.children(v);
        if (children.size() < 2) fault("node " + std::to_string(v) + " speciates without two children");
        const std::uint32_t left = children[0];
        const std::uint32_t right = children[1];
        LineageCopies left_content = empty_lineage();
        if (content.families) left_content.families = std::make_unique<FamilyIndex>(*content.families);
        // The left child starts with the parent's spare room, as the right
        // child (which takes over the parent's list) does, so that neither
        // has to move its whole list at its first new copy.
        left_content.copies.reserve(content.copies.capacity());
        if (options_.record_speciation) {
            for (GeneCopy& copy : content.copies) {
                const std::uint64_t a = mint_pair();
                left_content.copies.push_back(GeneCopy{a, copy.family});
                append_row(EventKind::Speciation, v, t, copy.family, copy.gene,
                           static_cast<std::int64_t>(a));
                copy.gene = a + 1;  // the parent's list becomes the right child's
            }
        } else {
            left_content.copies.assign(content.copies.begin(), content.copies.end());
        }
        lineages_[left] = std::move(left_content);
        lineages_[right] = std::move(content);
        activate(left);
        activate(right);
    }

    void activate(std::uint32_t b) {
        active_.append(b);
        set_rate(b);
    }

    void set_rate(std::uint32_t b) { set_rate_for(b, lineages_[b].copies.size()); }

    // The rate of branch b when it holds n copies.
    void set_rate_for(std::uint32_t b, std::size_t n) {
        ahead_pick_.forget();
        rates_.set(b, copy_rate_ * static_cast<double>(n) + params_.origination);
    }

    void add_copy(LineageCopies& lineage, GeneCopy copy) {
        lineage.copies.push_back(copy);
        if (track_counts_) lineage.families->appended(copy.family, lineage.copies.size() - 1);
    }

    // Removes position i by moving the last copy into its slot.
    void swap_remove(LineageCopies& lineage, std::size_t i) {
        CopyList& copies = lineage.copies;
        if (track_counts_) {
            lineage.families->swap_removed(copies[i].family, i, copies.back().family,
                                          copies.size() - 1);
        }
        copies[i] = copies.back();
        copies.pop_back();
    }

    std::uint64_t mint_pair() {
        const std::uint64_t a = next_gene_;
        next_gene_ += 2;
        return a;
    }

    // One row. Duplication, transfer and speciation rows name the first of
    // their two new gene ids (the second is the next id); a transfer row also
    // names its recipient, and its donor is the row's branch.
    void append_row(EventKind kind, std::uint32_t branch, double t, std::uint64_t family,
                    std::uint64_t gene, std::int64_t first_child = kNone,
                    std::uint32_t recipient = EventLog::kNoNode) {
        if (log_.kind.size() == log_.kind.capacity()) grow_log();
        log_.kind.push_back(static_cast<std::uint8_t>(kind));
        log_.branch.push_back(branch);
        log_.time.push_back(t);
        log_.recipient_node.push_back(recipient);
        log_.family.push_back(family);
        log_.gene.push_back(gene);
        log_.child1.push_back(first_child);
    }

    // Capacity that is never written costs no memory (large blocks are mapped
    // lazily), while each growth step copies the log and touches fresh pages.
    // So a log starts with room for a small run, jumps once past that to room
    // for most large runs, and grows eightfold after. Where memory is not
    // overcommitted (or address space is limited), falls back to doubling.
    //
    // The log's capacity is charged to the run's memory budget, the old and
    // the new block together while the rows move: a step that would pass the
    // budget falls back to doubling, then to the room that is left, and a log
    // that cannot grow at all ends the run.
    void grow_log() {
        constexpr std::size_t kSmallRun = std::size_t{1} << 16;
        constexpr std::size_t kLargeRun = std::size_t{1} << 24;
        const std::size_t current = log_.kind.capacity();
        const std::size_t next = current < kSmallRun ? kSmallRun
                                 : current < kLargeRun ? kLargeRun
                                                       : current * 8;
        const std::size_t doubled = std::max(current * 2, kSmallRun);
        const std::size_t room = budget_.room() / kRowBytes;
        if (next <= room) {
            try {
                charged_reserve_log(next);
                return;
            } catch (const std::bad_alloc&) {
            }
        }
        if (doubled <= room) {
            charged_reserve_log(doubled);
        } else if (room > current) {
            charged_reserve_log(room);
        } else {
            budget_.exceeded();
        }
    }

    // Reserves `capacity` rows with the new block charged while both exist.
    void charged_reserve_log(std::size_t capacity) {
        const std::size_t current = log_.kind.capacity();
        budget_.charge(capacity * kRowBytes);
        try {
            reserve_log(capacity);
        } catch (...) {
            budget_.release(capacity * kRowBytes);
            throw;
        }
        budget_.release(current * kRowBytes);
    }

    // The bytes of one row over the seven stored columns.
    static constexpr std::size_t kRowBytes = sizeof(std::uint8_t) + sizeof(std::uint32_t) +
                                             sizeof(double) + sizeof(std::uint32_t) +
                                             3 * sizeof(std::uint64_t);

    void reserve_log(std::size_t capacity) {
        reserve_with_huge_pages(log_.kind, capacity);
        reserve_with_huge_pages(log_.branch, capacity);
        reserve_with_huge_pages(log_.time, capacity);
        reserve_with_huge_pages(log_.recipient_node, capacity);
        reserve_with_huge_pages(log_.family, capacity);
        reserve_with_huge_pages(log_.gene, capacity);
        reserve_with_huge_pages(log_.child1, capacity);
    }

    SpeciesTree tree_;
    SimParams params_;
    LogEngineOptions options_;
    std::unique_ptr<CopyArena> arena_;  // declared before every list drawn from it
    std::vector<LineageCopies> lineages_;
    ActiveBranches active_;
    RateTree rates_;
    Rng rng_;
    RecipientScratch recipient_scratch_;
    double copy_rate_;  // ((duplication + transfer) + loss), the per-copy rate
    double dup_transfer_;

    BranchPickMemo ahead_pick_;
    RemainderMemo ahead_index_;
    bool track_counts_;
    std::uint64_t next_gene_ = 0;
    std::uint64_t next_family_ = 0;
    std::uint64_t events_ = 0;
    std::uint64_t removal_work_ = 0;  // positions walked by removal searches
    RemovalCandidates candidates_;
    EventLog log_;
    std::vector<ExtantCopies> extant_;
    StorageBudget budget_;  // the log's and the arena's bytes
};

}  // namespace

LogEngineResult run_log_engine(SpeciesTreeArrays tree, const SimParams& params,
                               const LogEngineOptions& options) {
    return LogEngine(std::move(tree), params, options).run();
}

}  // namespace korvath
