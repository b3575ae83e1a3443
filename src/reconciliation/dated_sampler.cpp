#include "reconciliation/dated_sampler.h"

#include "reconciliation/scaled_vectors.h"
#include "support/faults.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace korvath::reconciliation {

namespace {

double weight(double value) { return value > 0.0 ? value : 0.0; }

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// A value and the power of two it stands scaled by.
struct Scaled {
    double value = 0.0;
    std::int64_t exponent = 0;
};

// Draws an index in proportion to non-negative weights given as Scaled
// values, by bringing them to the scale of the largest.
std::size_t pick_scaled(const Scaled* terms, std::size_t count, Rng& rng, const char* where) {
    std::int64_t top = std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = 0; i < count; ++i) {
        if (terms[i].value > 0.0) top = std::max(top, terms[i].exponent);
    }
    auto share = [&](std::size_t i) {
        return terms[i].value > 0.0 ? ldexp_wide(terms[i].value, terms[i].exponent - top) : 0.0;
    };
    double total = 0.0;
    for (std::size_t i = 0; i < count; ++i) total += share(i);
    if (!(total > 0.0) || !std::isfinite(total)) {
        fault(std::string("cannot sample a scenario: no term of positive probability") + where);
    }
    const double target = rng.pick_target(total);
    double running = 0.0;
    std::size_t chosen = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double w = share(i);
        if (!(w > 0.0)) continue;
        running += w;
        chosen = i;
        if (running >= target) break;
    }
    return chosen;
}

}  // namespace

class DatedScenarioWalk {
public:
    explicit DatedScenarioWalk(DatedScorer& scorer)
        : sc_(scorer), m_(scorer.model_), g_(scorer.graph_) {
        const std::size_t slices = m_.slices.size();
        top_slice_.assign(m_.n, kNone);
        end_of_.resize(slices);
        e_sum_.resize(slices);
        for (std::size_t s = slices; s-- > 0;) {
            const TimeSlice& slice = m_.slices[s];
            for (std::size_t b : slice.branches) top_slice_[b] = s;
            end_of_[s].assign(slice.width(), kNone);
            for (std::size_t i = 0; i < slice.ends.size(); ++i) end_of_[s][slice.ends[i].entry] = i;
            e_sum_[s].resize(static_cast<std::size_t>(slice.steps));
            for (std::size_t j = 0; j < e_sum_[s].size(); ++j) {
                double sum = 0.0;
                for (double e : slice.e_step(j)) sum += e;
                e_sum_[s][j] = sum;
            }
        }
    }

    // The root's value at the start of a scenario, zero when it cannot start.
    bool possible(std::uint8_t origination) const {
        const std::size_t r = g_.size() - 1;
        if (origination == 1) {
            for (std::size_t b = 0; b < m_.n; ++b) {
                if (has_length(m_.branch_length[b]) && top(r, b).value > 0.0) return true;
            }
            return false;
        }
        const RootDaughters root = dated_root_daughters(m_);
        return speciation_total(r, root.left, root.right).value > 0.0;
    }

    void run(std::uint8_t origination, Rng& rng, std::uint64_t family_index,
             std::uint64_t sample, SampledEvents& out) {
        out_ = &out;
        family_index_ = family_index;
        sample_ = sample;
        events_ = 0;
        pending_.clear();
        const std::size_t r = g_.size() - 1;
        if (origination == 1) {
            // A branch in proportion to the root's value at its top.
            std::vector<Scaled>& terms = scratch_;
            terms.clear();
            std::vector<std::size_t> branch_of;
            for (std::size_t b = 0; b < m_.n; ++b) {
                if (!has_length(m_.branch_length[b])) continue;
                terms.push_back(top(r, b));
                branch_of.push_back(b);
            }
            const std::size_t b = branch_of[pick_scaled(terms.data(), terms.size(), rng, "")];
            emit(ReconciledEvent::kOrigination, b, -1, sc_.clade_of_node_[r], -1, -1);
            const Position at = top_position(b);
            pending_.push_back({resolve(r, at, rng), sc_.clade_of_node_[r], at});
        } else {
            const RootDaughters root = dated_root_daughters(m_);
            const std::size_t b = static_cast<std::size_t>(m_.sp_root);
            // A clade with several splits: one in proportion to its share.
            std::size_t node = r;
            if (g_.kind[node] == DatedScorer::kSum) {
                scratch_.clear();
                for (std::size_t i = g_.term_begin[node]; i < g_.term_begin[node + 1]; ++i) {
                    Scaled v = speciation_total(g_.term_node[i], root.left, root.right);
                    v.value *= g_.term_weight[i];
                    scratch_.push_back(v);
                }
                const std::size_t term = pick_scaled(scratch_.data(), scratch_.size(), rng, "");
                node = g_.term_node[g_.term_begin[node] + term];
            }
            emit(ReconciledEvent::kOrigination, b, -1, sc_.clade_of_node_[r], -1, -1);
            Position at{};
            const std::size_t clade = sc_.clade_of_node_[r];
            if (!speciate(node, clade, b, root.left, root.right, rng, at)) {
                pending_.push_back({node, clade, at});
            }
        }
        while (!pending_.empty()) {
            const Lineage next = pending_.back();
            pending_.pop_back();
            follow(next.node, next.clade, next.at, rng);
        }
    }

private:
    // A point of a node's history: slice s, after j backward steps, entry k.
    struct Position {
        std::size_t s = 0;
        std::size_t j = 0;
        std::size_t k = 0;
    };
    // A node and the clade it stands for there (a node shared by the tips on
    // one species branch stands for each of them).
    struct Lineage {
        std::size_t node;
        std::size_t clade;
        Position at;
    };

    std::size_t width(std::size_t s) const { return m_.slices[s].width(); }

    const double* rows(std::size_t g, std::size_t s) const {
        return sc_.arena_.data() + sc_.slot_[g] * sc_.slot_stride_ + m_.trajectory_offset[s];
    }
    const double* sums(std::size_t g, std::size_t s) const {
        return sc_.arena_.data() + sc_.slot_[g] * sc_.slot_stride_ + m_.trajectory_size +
               m_.sums_offset[s];
    }
    std::int64_t scale(std::size_t g, std::size_t s) const {
        return sc_.slice_exponents_[g * m_.slices.size() + s];
    }
    Scaled value(std::size_t g, const Position& p) const {
        if (sc_.lean_split(g)) {
            // A lean root's split keeps its values at the branch tops only.
            const std::size_t b = m_.slices[p.s].branches[p.k];
            if (top_slice_[b] != p.s || p.j != static_cast<std::size_t>(m_.slices[p.s].steps)) {
                fault("a root split was read below a branch top before it was integrated again");
            }
            return {sc_.split_top_[sc_.split_index_[g] * m_.n + b], scale(g, p.s)};
        }
        return {rows(g, p.s)[p.j * width(p.s) + p.k], scale(g, p.s)};
    }
    std::size_t entry(std::size_t s, std::size_t b) const {
        const std::vector<std::size_t>& branches = m_.slices[s].branches;
        const auto it = std::lower_bound(branches.begin(), branches.end(), b);
        if (it == branches.end() || *it != b) fault("a sampled lineage left the alive branches");
        return static_cast<std::size_t>(it - branches.begin());
    }
    // The top of branch b: the end of the earliest slice in which it is alive.
    Position top_position(std::size_t b) const {
        const std::size_t s = top_slice_[b];
        if (s == kNone) fault("a sampled lineage entered a branch alive in no slice");
        return {s, static_cast<std::size_t>(m_.slices[s].steps), entry(s, b)};
    }
    Scaled top(std::size_t g, std::size_t b) const {
        if (top_slice_[b] == kNone) return {};
        return value(g, top_position(b));
    }
    static Scaled product(const Scaled& a, const Scaled& b) {
        return {a.value * b.value, a.exponent + b.exponent};
    }
    static Scaled times(const Scaled& a, double x) { return {a.value * x, a.exponent}; }

    // A sum node at position p: one of its terms, in proportion to its share.
    std::size_t resolve(std::size_t node, const Position& p, Rng& rng) {
        if (g_.kind[node] != DatedScorer::kSum) return node;
        scratch_.clear();
        for (std::size_t i = g_.term_begin[node]; i < g_.term_begin[node + 1]; ++i) {
            scratch_.push_back(times(value(g_.term_node[i], p), g_.term_weight[i]));
        }
        const std::size_t term = pick_scaled(scratch_.data(), scratch_.size(), rng, "");
        return g_.term_node[g_.term_begin[node] + term];
    }

    // The speciation terms of node g at the lower end of branch b.
    Scaled speciation_total(std::size_t g, std::size_t f, std::size_t h) const {
        if (g_.kind[g] == DatedScorer::kSum) {
            Scaled total{};
            for (std::size_t i = g_.term_begin[g]; i < g_.term_begin[g + 1]; ++i) {
                const Scaled v =
                    times(speciation_total(g_.term_node[i], f, h), g_.term_weight[i]);
                total = add(total, v);
            }
            return total;
        }
        Scaled terms[4];
        const std::size_t count = speciation_terms(g, f, h, terms);
        Scaled total{};
        for (std::size_t i = 0; i < count; ++i) total = add(total, terms[i]);
        return total;
    }
    static Scaled add(const Scaled& a, const Scaled& b) {
        if (!(a.value > 0.0)) return b.value > 0.0 ? b : Scaled{};
        if (!(b.value > 0.0)) return a;
        const ScaledValue sum = add_scaled(a.value, a.exponent, b.value, b.exponent);
        return {sum.value, sum.exponent};
    }

    // Terms 0, 1: the copy goes on in h (f's copy lost), in f (h's copy lost);
    // for a pair, 2: left child to h and right to f, 3: left to f, right to h.
    std::size_t speciation_terms(std::size_t g, std::size_t f, std::size_t h,
                                 Scaled* terms) const {
        terms[0] = times(top(g, h), m_.e_top[f]);
        terms[1] = times(top(g, f), m_.e_top[h]);
        if (g_.kind[g] != DatedScorer::kPair) return 2;
        const std::size_t c1 = g_.left[g];
        const std::size_t c2 = g_.right[g];
        terms[2] = product(top(c1, h), top(c2, f));
        terms[3] = product(top(c1, f), top(c2, h));
        return 4;
    }

    // The clades of pair g's left (0) and right (1) children.
    std::size_t child_clade(std::size_t g, std::size_t which) const {
        return sc_.child_clades_[2 * g + which];
    }

    // Node g (for `clade`) at the lower end of branch b (daughters f, h):
    // draws its speciation. Returns true when the lineage split (children
    // pushed); otherwise `at` is where g goes on.
    bool speciate(std::size_t g, std::size_t clade, std::size_t b, std::size_t f, std::size_t h,
                  Rng& rng, Position& at) {
        Scaled terms[4];
        const std::size_t count = speciation_terms(g, f, h, terms);
        const std::size_t c = pick_scaled(terms, count, rng, " at a speciation");
        if (c < 2) {
            const std::size_t go = c == 0 ? h : f;
            const std::size_t lost = c == 0 ? f : h;
            emit(ReconciledEvent::kSpeciation, b, -1, clade, -1, -1);
            emit(ReconciledEvent::kLoss, lost, -1, clade, -1, -1);
            at = top_position(go);
            return false;
        }
        const std::size_t c1 = g_.left[g];
        const std::size_t c2 = g_.right[g];
        const std::size_t to_f = c == 2 ? c2 : c1;
        const std::size_t to_h = c == 2 ? c1 : c2;
        const std::size_t clade_f = child_clade(g, c == 2 ? 1 : 0);
        const std::size_t clade_h = child_clade(g, c == 2 ? 0 : 1);
        emit(ReconciledEvent::kSpeciation, b, -1, clade, static_cast<std::int64_t>(clade_f),
             static_cast<std::int64_t>(clade_h));
        push_child(to_h, clade_h, top_position(h), rng);
        push_child(to_f, clade_f, top_position(f), rng);
        return true;
    }

    void push_child(std::size_t node, std::size_t clade, const Position& at, Rng& rng) {
        // Sums are resolved where the child starts, before its sibling's walk.
        pending_.push_back({resolve(node, at, rng), clade, at});
    }

    // An entry of slice s other than k, in proportion to values[entry].
    std::size_t other_entry(const double* values, std::size_t count, std::size_t k,
                            Rng& rng) const {
        double total = 0.0;
        for (std::size_t r = 0; r < count; ++r) {
            if (r != k) total += weight(values[r]);
        }
        if (!(total > 0.0) || !std::isfinite(total)) {
            fault("cannot sample a transfer recipient");
        }
        const double target = rng.pick_target(total);
        double running = 0.0;
        std::size_t chosen = k;
        for (std::size_t r = 0; r < count; ++r) {
            if (r == k || !(weight(values[r]) > 0.0)) continue;
            running += weight(values[r]);
            chosen = r;
            if (running >= target) break;
        }
        return chosen;
    }

    void follow(std::size_t g, std::size_t clade, Position p, Rng& rng) {
        sc_.materialize(g);
        const double dup = m_.dup;
        const double tr = m_.transfer;
        const double rate = m_.total_rate;
        for (;;) {
            const TimeSlice& slice = m_.slices[p.s];
            const std::size_t mw = slice.width();
            const std::size_t b = slice.branches[p.k];
            if (p.j == 0) {
                const std::size_t e = end_of_[p.s][p.k];
                if (e == kNone) {  // the branch goes on in the next, later slice
                    if (p.s + 1 >= m_.slices.size()) fault("a sampled lineage ran past the tips");
                    p.s += 1;
                    p.j = static_cast<std::size_t>(m_.slices[p.s].steps);
                    p.k = entry(p.s, b);
                    continue;
                }
                const BranchEnd& end = slice.ends[e];
                if (end.tip) {
                    if (g_.kind[g] != DatedScorer::kTip || g_.species[g] != static_cast<std::int64_t>(b)) {
                        fault("a sampled lineage reached a species tip its gene is not on");
                    }
                    return;
                }
                Position at{};
                if (speciate(g, clade, b, end.left, end.right, rng, at)) return;
                p = at;
                continue;
            }
            const std::size_t i = p.j - 1;  // the step from i to j
            const double dt = slice.dt;
            const double* v = rows(g, p.s) + i * mw;
            const double* e = slice.e_steps.data() + i * mw;
            const double others = static_cast<double>(mw) - 1.0;
            const double e_mean = mw >= 2 ? (e_sum_[p.s][i] - e[p.k]) / others : 0.0;
            const double p_mean = mw >= 2 ? (sums(g, p.s)[i] - v[p.k]) / others : 0.0;
            double terms[7] = {};
            terms[0] = weight(v[p.k] * (1.0 - dt * rate));               // nothing happens
            terms[1] = weight(dt * ((2.0 * dup) * e[p.k]) * v[p.k]);     // duplication, one lost
            terms[2] = weight(dt * (tr * e_mean) * v[p.k]);              // received copy lost
            terms[3] = weight(dt * (e[p.k] * tr) * p_mean);              // donor copy lost
            std::size_t count = 4;
            const double* a = nullptr;
            const double* bv = nullptr;
            std::size_t c1 = 0, c2 = 0;
            if (g_.kind[g] == DatedScorer::kPair) {
                c1 = g_.left[g];
                c2 = g_.right[g];
                a = rows(c1, p.s) + i * mw;
                bv = rows(c2, p.s) + i * mw;
                const double factor =
                    ldexp_wide(dt, scale(c1, p.s) + scale(c2, p.s) - scale(g, p.s));
                terms[4] = weight(factor * (dup * a[p.k]) * bv[p.k]);
                if (mw >= 2) {
                    const double tau = tr / others;
                    const double sum_a = sums(c1, p.s)[i];
                    const double sum_b = sums(c2, p.s)[i];
                    terms[5] = weight(factor * ((sum_b - bv[p.k]) * a[p.k]) * tau);  // c2 moves
                    terms[6] = weight(factor * ((sum_a - a[p.k]) * bv[p.k]) * tau);  // c1 moves
                }
                count = 7;
            }
            double total = 0.0;
            for (std::size_t t = 0; t < count; ++t) total += terms[t];
            if (!(total > 0.0) || !std::isfinite(total)) {
                fault("cannot sample a scenario: gene clade " + std::to_string(clade) +
                      " on branch " + std::to_string(b) + " has no term of positive probability");
            }
            const double target = rng.pick_target(total);
            double running = 0.0;
            std::size_t c = 0;
            for (std::size_t t = 0; t < count; ++t) {
                if (!(terms[t] > 0.0)) continue;
                running += terms[t];
                c = t;
                if (running >= target) break;
            }
            p.j = i;
            switch (c) {
                case 0:
                    break;
                case 1:
                    emit(ReconciledEvent::kDuplication, b, -1, clade, -1, -1);
                    emit(ReconciledEvent::kLoss, b, -1, clade, -1, -1);
                    break;
                case 2: {
                    const std::size_t r = other_entry(e, mw, p.k, rng);
                    emit(ReconciledEvent::kTransfer, b,
                         static_cast<std::int64_t>(slice.branches[r]), clade, -1, -1);
                    emit(ReconciledEvent::kLoss, slice.branches[r], -1, clade, -1, -1);
                    break;
                }
                case 3: {
                    const std::size_t r = other_entry(v, mw, p.k, rng);
                    emit(ReconciledEvent::kTransfer, b,
                         static_cast<std::int64_t>(slice.branches[r]), clade, -1, -1);
                    emit(ReconciledEvent::kLoss, b, -1, clade, -1, -1);
                    p.k = r;
                    break;
                }
                case 4:
                    emit(ReconciledEvent::kDuplication, b, -1, clade,
                         static_cast<std::int64_t>(child_clade(g, 0)),
                         static_cast<std::int64_t>(child_clade(g, 1)));
                    push_child(c2, child_clade(g, 1), p, rng);
                    push_child(c1, child_clade(g, 0), p, rng);
                    return;
                default: {
                    const bool second_moves = c == 5;
                    const std::size_t stays = second_moves ? c1 : c2;
                    const std::size_t moves = second_moves ? c2 : c1;
                    const std::size_t stays_clade = child_clade(g, second_moves ? 0 : 1);
                    const std::size_t moves_clade = child_clade(g, second_moves ? 1 : 0);
                    const std::size_t r = other_entry(second_moves ? bv : a, mw, p.k, rng);
                    emit(ReconciledEvent::kTransfer, b,
                         static_cast<std::int64_t>(slice.branches[r]), clade,
                         static_cast<std::int64_t>(stays_clade),
                         static_cast<std::int64_t>(moves_clade));
                    push_child(moves, moves_clade, Position{p.s, p.j, r}, rng);
                    push_child(stays, stays_clade, p, rng);
                    return;
                }
            }
        }
    }

    void emit(ReconciledEvent event, std::size_t branch, std::int64_t recipient,
              std::size_t clade, std::int64_t left, std::int64_t right) {
        if (++events_ > kMaxScenarioEvents) throw RunawayError(kScenarioRunaway);
        out_->add(family_index_, sample_, event, branch, recipient, clade, left, right);
    }

    DatedScorer& sc_;
    const DatedExtinction& m_;
    const DatedScorer::Graph& g_;
    std::vector<std::size_t> top_slice_;             // per branch: earliest slice alive, or kNone
    std::vector<std::vector<std::size_t>> end_of_;   // per slice and entry: its BranchEnd, or kNone
    std::vector<std::vector<double>> e_sum_;         // per slice and step: the sum of E
    std::vector<Lineage> pending_;
    std::vector<Scaled> scratch_;
    SampledEvents* out_ = nullptr;
    std::uint64_t family_index_ = 0;
    std::uint64_t sample_ = 0;
    std::uint64_t events_ = 0;
};

void sample_dated_scenarios(DatedScorer& scorer, std::uint8_t origination,
                            std::uint64_t samples, Rng& rng, std::uint64_t family_index,
                            SampledEvents& out) {
    DatedScenarioWalk walk(scorer);
    if (!walk.possible(origination)) return;
    for (std::uint64_t k = 0; k < samples; ++k) walk.run(origination, rng, family_index, k, out);
}

}  // namespace korvath::reconciliation
