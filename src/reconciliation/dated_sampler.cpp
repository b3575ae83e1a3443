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

// With several windows of the scorer's slices, scenarios are drawn all at
// once, window by window from the earliest: every lineage of every scenario
// is followed through the window held (in any order: each lineage draws from
// its own generator) until it ends, splits or reaches a later window, where
// it waits. Each lineage keeps its events, and a scenario's events are
// written once it is done, in the order of a depth-first walk. With one
// window, scenarios are drawn one after another, the same way.
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

    ~DatedScenarioWalk() {
        if (budget_ != nullptr) budget_->release(charged_);
    }

    void run(std::uint8_t origination, std::uint64_t key, std::uint64_t samples,
             std::uint64_t family_index, SampledEvents& out) {
        key_ = key;
        budget_ = out.budget;
        if (sc_.window_count() == 1) {
            // Nothing waits for a later window: each scenario is walked and
            // written in turn.
            for (std::uint64_t k = 0; k < samples; ++k) {
                Scenario scenario;
                scenario.number = k;
                start(origination, scenario);
                walk(scenario);
                finish(scenario, family_index, out);
            }
            return;
        }
        // Every scenario through each window in turn; each is written once it
        // and those before it are done. What they hold meanwhile is charged
        // to the call's budget.
        if (samples > std::numeric_limits<std::size_t>::max() / sizeof(Scenario)) {
            if (budget_ != nullptr) budget_->exceeded();
            fault("more scenarios than can be held");
        }
        hold(static_cast<std::size_t>(samples) * sizeof(Scenario));
        scenarios_.resize(static_cast<std::size_t>(samples));
        for (std::size_t k = 0; k < scenarios_.size(); ++k) {
            scenarios_[k].number = k;
            start(origination, scenarios_[k]);
        }
        std::size_t written = 0;
        for (std::size_t w = 0; w < sc_.window_count() && written < scenarios_.size(); ++w) {
            sc_.load_window(w);
            for (std::size_t k = written; k < scenarios_.size(); ++k) walk(scenarios_[k]);
            while (written < scenarios_.size() && scenarios_[written].waiting.empty()) {
                finish(scenarios_[written++], family_index, out);
            }
        }
        if (written < scenarios_.size()) fault("a sampled lineage ran past the tips");
    }

private:
    // A point of a node's history: slice s, after j backward steps, entry k.
    struct Position {
        std::size_t s = 0;
        std::size_t j = 0;
        std::size_t k = 0;
    };
    struct Event {
        ReconciledEvent kind;
        std::size_t branch;
        std::int64_t recipient;
        std::size_t clade;
        std::int64_t left, right;
    };
    // A lineage's events and the lineages it split into, in the order they
    // were started.
    struct Record {
        std::vector<Event> events;
        std::vector<std::size_t> children;
    };
    // A node and the clade it stands for there (a node shared by the tips on
    // one species branch stands for each of them), its generator and record.
    struct Lineage {
        std::size_t node;
        std::size_t clade;
        Position at;
        Rng rng;
        std::size_t record;
    };
    struct Scenario {
        std::vector<Record> records;
        std::vector<Lineage> waiting;  // lineages that reached a later window
        std::uint64_t events = 0;
        std::uint64_t number = 0;
        std::size_t bytes = 0;  // what its records and events hold, about
    };
    static constexpr std::size_t kChargeBlock = std::size_t{1} << 20;

    std::size_t width(std::size_t s) const { return m_.slices[s].width(); }

    // Node g's vectors and sums of slice s, which the window held must hold
    // (as DatedScorer::slice_rows and slice_sums, node by node).
    const double* rows(std::size_t g, std::size_t s) const {
        return sc_.arena_.data() + sc_.slot_[g] * sc_.slot_stride_ +
               (m_.trajectory_offset[s] - sc_.window_rows_base_);
    }
    const double* sums(std::size_t g, std::size_t s) const {
        return sc_.arena_.data() + sc_.slot_[g] * sc_.slot_stride_ + sc_.window_rows_size_ +
               (m_.sums_offset[s] - sc_.window_sums_base_);
    }
    void held(std::size_t s) const {
        if (sc_.window_of(s) != sc_.window_held()) fault("a sampled lineage read a slice not held");
    }
    std::int64_t scale(std::size_t g, std::size_t s) const {
        return sc_.slice_exponents_[g * m_.slices.size() + s];
    }
    Scaled value(std::size_t g, const Position& p) {
        const std::size_t b = m_.slices[p.s].branches[p.k];
        if (top_slice_[b] == p.s && p.j == static_cast<std::size_t>(m_.slices[p.s].steps)) {
            return top(g, b);  // the same value, kept for every window
        }
        held(p.s);
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
        return {sc_.kept_top_[g * m_.n + b], scale(g, top_slice_[b])};
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

    // A scenario's first lineage, from its origination.
    void start(std::uint8_t origination, Scenario& scenario) {
        new_record(scenario);
        const std::size_t r = g_.size() - 1;
        const std::size_t clade = sc_.clade_of_node_[r];
        Lineage root{r, clade, Position{}, lineage_rng(key_, scenario.number, clade), 0};
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
            const std::size_t b = branch_of[pick_scaled(terms.data(), terms.size(), root.rng, "")];
            emit(scenario, root, ReconciledEvent::kOrigination, b, -1, -1, -1);
            root.at = top_position(b);
            root.node = resolve(r, root.at, root.rng);
            scenario.waiting.push_back(root);
            return;
        }
        const RootDaughters daughters = dated_root_daughters(m_);
        const std::size_t b = static_cast<std::size_t>(m_.sp_root);
        // A clade with several splits: one in proportion to its share.
        if (g_.kind[r] == DatedScorer::kSum) {
            scratch_.clear();
            for (std::size_t i = g_.term_begin[r]; i < g_.term_begin[r + 1]; ++i) {
                Scaled v = speciation_total(g_.term_node[i], daughters.left, daughters.right);
                v.value *= g_.term_weight[i];
                scratch_.push_back(v);
            }
            const std::size_t term = pick_scaled(scratch_.data(), scratch_.size(), root.rng, "");
            root.node = g_.term_node[g_.term_begin[r] + term];
        }
        emit(scenario, root, ReconciledEvent::kOrigination, b, -1, -1, -1);
        if (!speciate(scenario, root, b, daughters.left, daughters.right, scenario.waiting)) {
            scenario.waiting.push_back(root);
        }
    }

    // Lineage l at the lower end of branch b (daughters f, h): draws its
    // speciation. Returns true when the lineage split (its children started
    // in `into`); otherwise l goes on at the top of the daughter it kept.
    bool speciate(Scenario& scenario, Lineage& l, std::size_t b, std::size_t f, std::size_t h,
                  std::vector<Lineage>& into) {
        const std::size_t g = l.node;
        Scaled terms[4];
        const std::size_t count = speciation_terms(g, f, h, terms);
        const std::size_t c = pick_scaled(terms, count, l.rng, " at a speciation");
        if (c < 2) {
            const std::size_t go = c == 0 ? h : f;
            const std::size_t lost = c == 0 ? f : h;
            emit(scenario, l, ReconciledEvent::kSpeciation, b, -1, -1, -1);
            emit(scenario, l, ReconciledEvent::kLoss, lost, -1, -1, -1);
            l.at = top_position(go);
            return false;
        }
        const std::size_t c1 = g_.left[g];
        const std::size_t c2 = g_.right[g];
        const std::size_t to_f = c == 2 ? c2 : c1;
        const std::size_t to_h = c == 2 ? c1 : c2;
        const std::size_t clade_f = child_clade(g, c == 2 ? 1 : 0);
        const std::size_t clade_h = child_clade(g, c == 2 ? 0 : 1);
        emit(scenario, l, ReconciledEvent::kSpeciation, b, -1, static_cast<std::int64_t>(clade_f),
             static_cast<std::int64_t>(clade_h));
        start_child(scenario, l, to_h, clade_h, top_position(h), into);
        start_child(scenario, l, to_f, clade_f, top_position(f), into);
        return true;
    }

    // A child lineage of l, its sum resolved where it starts; the last
    // started is walked first.
    void start_child(Scenario& scenario, const Lineage& l, std::size_t node, std::size_t clade,
                     const Position& at, std::vector<Lineage>& into) {
        const std::size_t record = new_record(scenario);
        scenario.records[l.record].children.push_back(record);
        Lineage child{node, clade, at, lineage_rng(key_, scenario.number, clade), record};
        child.node = resolve(node, at, child.rng);
        into.push_back(child);
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

    // Lineage l forward in time through the window held: until it reaches a
    // gene tip, splits (its children go to `work`), or reaches a later
    // window (it waits in the scenario).
    void follow(Scenario& scenario, Lineage l, std::vector<Lineage>& work) {
        sc_.materialize(l.node);  // a lean root's split, integrated again
        const double dup = m_.dup;
        const double tr = m_.transfer;
        const double rate = m_.total_rate;
        const std::size_t g = l.node;
        const std::size_t clade = l.clade;
        const bool pair = g_.kind[g] == DatedScorer::kPair;
        const std::size_t c1 = pair ? g_.left[g] : 0;
        const std::size_t c2 = pair ? g_.right[g] : 0;
        Position& p = l.at;
        for (;;) {
            if (sc_.window_of(p.s) != sc_.window_held()) {
                if (sc_.window_of(p.s) < sc_.window_held()) {
                    fault("a sampled lineage went back in time");
                }
                scenario.waiting.push_back(l);
                return;
            }
            const TimeSlice& slice = m_.slices[p.s];
            const std::size_t mw = slice.width();
            if (p.j == 0) {
                const std::size_t b = slice.branches[p.k];
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
                if (speciate(scenario, l, b, end.left, end.right, work)) return;
                continue;
            }
            // The steps of this slice, from the later end of step p.j back to 0.
            const double dt = slice.dt;
            const double others = static_cast<double>(mw) - 1.0;
            const double* g_rows = rows(g, p.s);
            const double* g_sums = sums(g, p.s);
            const double* a_rows = pair ? rows(c1, p.s) : nullptr;
            const double* b_rows = pair ? rows(c2, p.s) : nullptr;
            const double* a_sums = pair ? sums(c1, p.s) : nullptr;
            const double* b_sums = pair ? sums(c2, p.s) : nullptr;
            const double factor =
                pair ? ldexp_wide(dt, scale(c1, p.s) + scale(c2, p.s) - scale(g, p.s)) : 0.0;
            const double* e_sums = e_sum_[p.s].data();
            while (p.j > 0) {
                const std::size_t b = slice.branches[p.k];
                const std::size_t i = p.j - 1;  // the step from i to j
                const double* v = g_rows + i * mw;
                const double* e = slice.e_steps.data() + i * mw;
                const double e_mean = mw >= 2 ? (e_sums[i] - e[p.k]) / others : 0.0;
                const double p_mean = mw >= 2 ? (g_sums[i] - v[p.k]) / others : 0.0;
                double terms[7] = {};
                terms[0] = weight(v[p.k] * (1.0 - dt * rate));               // nothing happens
                terms[1] = weight(dt * ((2.0 * dup) * e[p.k]) * v[p.k]);     // duplication, one lost
                terms[2] = weight(dt * (tr * e_mean) * v[p.k]);              // received copy lost
                terms[3] = weight(dt * (e[p.k] * tr) * p_mean);              // donor copy lost
                std::size_t count = 4;
                const double* a = nullptr;
                const double* bv = nullptr;
                if (pair) {
                    a = a_rows + i * mw;
                    bv = b_rows + i * mw;
                    terms[4] = weight(factor * (dup * a[p.k]) * bv[p.k]);
                    if (mw >= 2) {
                        const double tau = tr / others;
                        const double sum_a = a_sums[i];
                        const double sum_b = b_sums[i];
                        terms[5] = weight(factor * ((sum_b - bv[p.k]) * a[p.k]) * tau);  // c2 moves
                        terms[6] = weight(factor * ((sum_a - a[p.k]) * bv[p.k]) * tau);  // c1 moves
                    }
                    count = 7;
                }
                double total = 0.0;
                for (std::size_t t = 0; t < count; ++t) total += terms[t];
                if (!(total > 0.0) || !std::isfinite(total)) {
                    fault("cannot sample a scenario: gene clade " + std::to_string(clade) +
                          " on branch " + std::to_string(b) +
                          " has no term of positive probability");
                }
                const double target = l.rng.pick_target(total);
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
                        emit(scenario, l, ReconciledEvent::kDuplication, b, -1, -1, -1);
                        emit(scenario, l, ReconciledEvent::kLoss, b, -1, -1, -1);
                        break;
                    case 2: {
                        const std::size_t r = other_entry(e, mw, p.k, l.rng);
                        emit(scenario, l, ReconciledEvent::kTransfer, b,
                             static_cast<std::int64_t>(slice.branches[r]), -1, -1);
                        emit(scenario, l, ReconciledEvent::kLoss, slice.branches[r], -1, -1, -1);
                        break;
                    }
                    case 3: {
                        const std::size_t r = other_entry(v, mw, p.k, l.rng);
                        emit(scenario, l, ReconciledEvent::kTransfer, b,
                             static_cast<std::int64_t>(slice.branches[r]), -1, -1);
                        emit(scenario, l, ReconciledEvent::kLoss, b, -1, -1, -1);
                        p.k = r;
                        break;
                    }
                    case 4:
                        emit(scenario, l, ReconciledEvent::kDuplication, b, -1,
                             static_cast<std::int64_t>(child_clade(g, 0)),
                             static_cast<std::int64_t>(child_clade(g, 1)));
                        start_child(scenario, l, c2, child_clade(g, 1), p, work);
                        start_child(scenario, l, c1, child_clade(g, 0), p, work);
                        return;
                    default: {
                        const bool second_moves = c == 5;
                        const std::size_t stays = second_moves ? c1 : c2;
                        const std::size_t moves = second_moves ? c2 : c1;
                        const std::size_t stays_clade = child_clade(g, second_moves ? 0 : 1);
                        const std::size_t moves_clade = child_clade(g, second_moves ? 1 : 0);
                        const std::size_t r = other_entry(second_moves ? bv : a, mw, p.k, l.rng);
                        emit(scenario, l, ReconciledEvent::kTransfer, b,
                             static_cast<std::int64_t>(slice.branches[r]),
                             static_cast<std::int64_t>(stays_clade),
                             static_cast<std::int64_t>(moves_clade));
                        start_child(scenario, l, moves, moves_clade, Position{p.s, p.j, r}, work);
                        start_child(scenario, l, stays, stays_clade, p, work);
                        return;
                    }
                }
            }
        }
    }

    void emit(Scenario& scenario, const Lineage& l, ReconciledEvent event, std::size_t branch,
              std::int64_t recipient, std::int64_t left, std::int64_t right) {
        if (++scenario.events > kMaxScenarioEvents) throw RunawayError(kScenarioRunaway);
        scenario.records[l.record].events.push_back({event, branch, recipient, l.clade, left, right});
        scenario.bytes += sizeof(Event);
        hold(sizeof(Event));
    }

    std::size_t new_record(Scenario& scenario) {
        scenario.records.emplace_back();
        scenario.bytes += sizeof(Record) + sizeof(Lineage);
        hold(sizeof(Record) + sizeof(Lineage));
        return scenario.records.size() - 1;
    }

    // The scenario's lineages in the window held, each until it ends, splits
    // or reaches a later window.
    void walk(Scenario& scenario) {
        std::vector<Lineage> work;
        work.swap(scenario.waiting);
        while (!work.empty()) {
            Lineage next = work.back();
            work.pop_back();
            follow(scenario, next, work);
        }
    }

    // Writes a scenario that is done and lets go of what it held.
    void finish(Scenario& scenario, std::uint64_t family_index, SampledEvents& out) {
        write(scenario, family_index, scenario.number, out);
        held_ -= scenario.bytes;
        scenario = Scenario{};
        // What is charged follows what is held, a block at a time.
        if (budget_ != nullptr && charged_ > held_ + 2 * kChargeBlock) {
            const std::size_t spare = (charged_ - held_) / kChargeBlock * kChargeBlock - kChargeBlock;
            budget_->release(spare);
            charged_ -= spare;
        }
    }

    // Counts `bytes` more held by scenarios not yet written, charging the
    // budget a block at a time.
    void hold(std::size_t bytes) {
        held_ += bytes;
        while (budget_ != nullptr && held_ > charged_) {
            budget_->charge(kChargeBlock);
            charged_ += kChargeBlock;
        }
    }

    // A scenario's events, each lineage's before those of the lineages it
    // split into, the last started first.
    void write(Scenario& scenario, std::uint64_t family_index, std::uint64_t sample,
               SampledEvents& out) {
        std::vector<std::size_t> stack{0};
        while (!stack.empty()) {
            const std::size_t r = stack.back();
            stack.pop_back();
            Record& record = scenario.records[r];
            for (const Event& x : record.events) {
                out.add(family_index, sample, x.kind, x.branch, x.recipient, x.clade, x.left,
                        x.right);
            }
            stack.insert(stack.end(), record.children.begin(), record.children.end());
            record = Record{};
        }
    }

    DatedScorer& sc_;
    const DatedExtinction& m_;
    const DatedScorer::Graph& g_;
    std::vector<std::size_t> top_slice_;             // per branch: earliest slice alive, or kNone
    std::vector<std::vector<std::size_t>> end_of_;   // per slice and entry: its BranchEnd, or kNone
    std::vector<std::vector<double>> e_sum_;         // per slice and step: the sum of E
    std::vector<Scenario> scenarios_;
    StorageBudget* budget_ = nullptr;
    std::size_t held_ = 0;     // bytes held by scenarios not yet written
    std::size_t charged_ = 0;  // bytes charged to the budget for them
    std::vector<Scaled> scratch_;
    std::uint64_t key_ = 0;
};

void sample_dated_scenarios(DatedScorer& scorer, std::uint8_t origination,
                            std::uint64_t samples, Rng& rng, std::uint64_t family_index,
                            SampledEvents& out) {
    DatedScenarioWalk walk(scorer);
    const std::uint64_t key = rng.next_u64();
    if (!walk.possible(origination)) return;
    walk.run(origination, key, samples, family_index, out);
}

}  // namespace korvath::reconciliation
