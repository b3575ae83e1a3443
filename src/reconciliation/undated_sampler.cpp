#include "reconciliation/undated_sampler.h"

#include "reconciliation/scaled_vectors.h"
#include "support/faults.h"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace korvath::reconciliation {

namespace {

// A term's value as a weight: negative and NaN values (possible only with
// negative rates) count as 0.
double weight(double value) { return value > 0.0 ? value : 0.0; }

// The ways a lineage at (clade, branch) can go on.
enum class Move : std::uint8_t {
    kTip,                 // the gene tip, sampled on its own species branch
    kDuplicationLoss,     // duplication, one copy lost: stays
    kTransferAwayLost,    // transfer whose received copy is lost: stays
    kTransferDonorLost,   // transfer whose donor copy is lost: moves to the recipient
    kSpeciationToFirst,   // speciation, the second daughter's copy lost
    kSpeciationToSecond,  // speciation, the first daughter's copy lost
    kDuplication,         // split: both children stay
    kSpeciation,          // split: the children go to the two daughters
    kTransfer,            // split: one child stays, the other is transferred
};

struct Choice {
    Move move = Move::kTip;
    std::size_t split = 0;   // split moves: the split (global index)
    bool swapped = false;    // split moves: the split's right clade takes the left role
};

class ScenarioWalk {
public:
    ScenarioWalk(const UndatedExtinction& model, const CladeFamily& family,
                 const UndatedScorer::CladeTable& table)
        : model_(model), family_(family), p_(table.probability.data()),
          exponent_(table.exponent.data()), n_(model.n), sums_(family.size(), 0.0) {
        for (std::size_t c = 0; c < family.size(); ++c) {
            double sum = 0.0;
            const double* v = p_ + c * n_;
            for (std::size_t z = 0; z < n_; ++z) sum += v[z];
            sums_[c] = sum;
        }
    }

    // One scenario from the origination branch `start`, its rows appended to `out`.
    void run(std::size_t start, Rng& rng, std::uint64_t family_index, std::uint64_t sample,
             SampledEvents& out) {
        out_ = &out;
        family_index_ = family_index;
        sample_ = sample;
        events_ = 0;
        const std::size_t root = family_.size() - 1;
        emit(ReconciledEvent::kOrigination, start, -1, root, -1, -1);
        stack_.clear();
        stack_.push_back({root, start});
        while (!stack_.empty()) {
            const Lineage top = stack_.back();
            stack_.pop_back();
            follow(top.clade, top.branch, rng);
        }
    }

private:
    struct Lineage {
        std::size_t clade;
        std::size_t branch;
    };

    const double* row(std::size_t c) const { return p_ + c * n_; }

    double mean(std::size_t c, std::size_t z) const {
        return mean_over_others(model_, row(c), sums_[c], z);
    }

    // Calls visit(choice, value) for every term of clade u on branch z, in a
    // fixed order, until visit returns true.
    template <class Visit>
    void for_each_term(std::size_t u, std::size_t z, Visit&& visit) const {
        const UndatedExtinction& m = model_;
        const double* e = m.extinction.data();
        const double* pu = row(u);
        const bool internal = !m.is_tip(z);
        const std::size_t f = m.left_child[z];
        const std::size_t h = m.right_child[z];
        const double ps = m.p_speciation;
        const double pt = m.p_transfer;
        const double two_dup = 2.0 * m.p_dup;
        if (family_.is_tip(u)) {
            if (static_cast<std::uint64_t>(family_.species[u]) == z &&
                visit(Choice{Move::kTip}, weight(ldexp_wide(ps, -exponent_[u])))) {
                return;
            }
        } else {
            for (std::size_t s = family_.split_begin[u]; s < family_.split_begin[u + 1]; ++s) {
                const auto a = static_cast<std::size_t>(family_.split_left[s]);
                const auto b = static_cast<std::size_t>(family_.split_right[s]);
                const double factor =
                    ldexp_wide(family_.split_weight[s], exponent_[a] + exponent_[b] - exponent_[u]);
                const double* pa = row(a);
                const double* pb = row(b);
                if (visit(Choice{Move::kDuplication, s, false},
                          weight(factor * ((two_dup * pa[z]) * pb[z])))) {
                    return;
                }
                if (internal) {
                    if (visit(Choice{Move::kSpeciation, s, false},
                              weight(factor * ((pa[f] * pb[h]) * ps)))) {
                        return;
                    }
                    if (visit(Choice{Move::kSpeciation, s, true},
                              weight(factor * ((pa[h] * pb[f]) * ps)))) {
                        return;
                    }
                }
                if (pt > 0.0) {
                    if (visit(Choice{Move::kTransfer, s, false},
                              weight(factor * ((pa[z] * mean(b, z)) * pt)))) {
                        return;
                    }
                    if (visit(Choice{Move::kTransfer, s, true},
                              weight(factor * ((pb[z] * mean(a, z)) * pt)))) {
                        return;
                    }
                }
            }
        }
        if (internal) {
            if (visit(Choice{Move::kSpeciationToFirst}, weight((pu[f] * e[h]) * ps))) return;
            if (visit(Choice{Move::kSpeciationToSecond}, weight((pu[h] * e[f]) * ps))) return;
        }
        if (visit(Choice{Move::kDuplicationLoss}, weight((two_dup * e[z]) * pu[z]))) return;
        if (pt > 0.0) {
            if (visit(Choice{Move::kTransferAwayLost},
                      weight((pt * m.extinction_mean[z]) * pu[z]))) {
                return;
            }
            visit(Choice{Move::kTransferDonorLost},
                  weight(m.transfer_extinction[z] * mean(u, z)));
        }
    }

    Choice choose(std::size_t u, std::size_t z, Rng& rng) const {
        double total = 0.0;
        for_each_term(u, z, [&](const Choice&, double w) {
            total += w;
            return false;
        });
        if (!(total > 0.0) || !std::isfinite(total)) {
            fault("cannot sample a scenario: gene clade " + std::to_string(u) + " on branch " +
                  std::to_string(z) + " has no term of positive finite probability");
        }
        const double target = rng.pick_target(total);
        double running = 0.0;
        Choice chosen;
        bool found = false;
        for_each_term(u, z, [&](const Choice& c, double w) {
            if (!(w > 0.0)) return false;
            running += w;
            chosen = c;
            found = true;
            return running >= target;
        });
        if (!found) fault("cannot sample a scenario: no term was chosen");
        return chosen;
    }

    // A recipient of a transfer from z, drawn in proportion to values[r].
    std::size_t recipient(const double* values, std::size_t z, Rng& rng) const {
        double total = 0.0;
        for_each_recipient(z, [&](std::size_t r) {
            total += weight(values[r]);
            return false;
        });
        if (!(total > 0.0) || !std::isfinite(total)) {
            fault("cannot sample a transfer recipient from branch " + std::to_string(z));
        }
        const double target = rng.pick_target(total);
        double running = 0.0;
        std::size_t chosen = z;
        for_each_recipient(z, [&](std::size_t r) {
            const double w = weight(values[r]);
            if (!(w > 0.0)) return false;
            running += w;
            chosen = r;
            return running >= target;
        });
        return chosen;
    }

    template <class Visit>
    void for_each_recipient(std::size_t z, Visit&& visit) const {
        if (model_.reldated) {
            for (std::size_t r : model_.recipients.of(z)) {
                if (visit(r)) return;
            }
            return;
        }
        for (std::size_t r = 0; r < n_; ++r) {
            if (r != z && visit(r)) return;
        }
    }

    void emit(ReconciledEvent event, std::size_t branch, std::int64_t recipient,
              std::size_t clade, std::int64_t left, std::int64_t right) {
        if (++events_ > kMaxScenarioEvents) {
            throw RunawayError(kScenarioRunaway);
        }
        out_->add(family_index_, sample_, event, branch, recipient, clade, left, right);
    }

    // Follows the lineage of clade u from branch z until it splits or ends.
    void follow(std::size_t u, std::size_t z, Rng& rng) {
        const UndatedExtinction& m = model_;
        const auto none = std::int64_t{-1};
        for (;;) {
            const Choice c = choose(u, z, rng);
            switch (c.move) {
                case Move::kTip:
                    return;
                case Move::kDuplicationLoss:
                    emit(ReconciledEvent::kDuplication, z, none, u, none, none);
                    emit(ReconciledEvent::kLoss, z, none, u, none, none);
                    break;
                case Move::kTransferAwayLost: {
                    const std::size_t r = recipient(m.extinction.data(), z, rng);
                    emit(ReconciledEvent::kTransfer, z, static_cast<std::int64_t>(r), u, none,
                         none);
                    emit(ReconciledEvent::kLoss, r, none, u, none, none);
                    break;
                }
                case Move::kTransferDonorLost: {
                    const std::size_t r = recipient(row(u), z, rng);
                    emit(ReconciledEvent::kTransfer, z, static_cast<std::int64_t>(r), u, none,
                         none);
                    emit(ReconciledEvent::kLoss, z, none, u, none, none);
                    z = r;
                    break;
                }
                case Move::kSpeciationToFirst:
                    emit(ReconciledEvent::kSpeciation, z, none, u, none, none);
                    emit(ReconciledEvent::kLoss, m.right_child[z], none, u, none, none);
                    z = m.left_child[z];
                    break;
                case Move::kSpeciationToSecond:
                    emit(ReconciledEvent::kSpeciation, z, none, u, none, none);
                    emit(ReconciledEvent::kLoss, m.left_child[z], none, u, none, none);
                    z = m.right_child[z];
                    break;
                case Move::kDuplication:
                case Move::kSpeciation:
                case Move::kTransfer: {
                    auto a = static_cast<std::size_t>(family_.split_left[c.split]);
                    auto b = static_cast<std::size_t>(family_.split_right[c.split]);
                    if (c.swapped) std::swap(a, b);
                    std::size_t to_a = z;
                    std::size_t to_b = z;
                    std::int64_t received = none;
                    ReconciledEvent event = ReconciledEvent::kDuplication;
                    if (c.move == Move::kSpeciation) {
                        event = ReconciledEvent::kSpeciation;
                        to_a = m.left_child[z];
                        to_b = m.right_child[z];
                    } else if (c.move == Move::kTransfer) {
                        event = ReconciledEvent::kTransfer;
                        to_b = recipient(row(b), z, rng);
                        received = static_cast<std::int64_t>(to_b);
                    }
                    emit(event, z, received, u, static_cast<std::int64_t>(a),
                         static_cast<std::int64_t>(b));
                    // The left child's subtree is walked first.
                    stack_.push_back({b, to_b});
                    stack_.push_back({a, to_a});
                    return;
                }
            }
        }
    }

    const UndatedExtinction& model_;
    const CladeFamily& family_;
    const double* p_;
    const std::int64_t* exponent_;
    std::size_t n_;
    std::vector<double> sums_;  // per clade, the sum of its stored probabilities
    std::vector<Lineage> stack_;
    SampledEvents* out_ = nullptr;
    std::uint64_t family_index_ = 0;
    std::uint64_t sample_ = 0;
    std::uint64_t events_ = 0;
};

}  // namespace

void sample_undated_scenarios(const UndatedExtinction& model, const CladeFamily& family,
                              const UndatedScorer::CladeTable& table, std::uint8_t origination,
                              std::uint64_t samples, Rng& rng, std::uint64_t family_index,
                              SampledEvents& out) {
    const std::size_t n = model.n;
    const double* p_root = table.probability.data() + (family.size() - 1) * n;
    // The origination branch: the species root, or any branch in proportion
    // to the root clade's probability there.
    double total = 0.0;
    if (origination == 1) {
        for (std::size_t z = 0; z < n; ++z) total += weight(p_root[z]);
    } else {
        total = weight(p_root[undated_root(model)]);
    }
    if (!(total > 0.0) || !std::isfinite(total)) return;
    ScenarioWalk walk(model, family, table);
    for (std::uint64_t k = 0; k < samples; ++k) {
        std::size_t start = 0;
        if (origination != 1) {
            start = undated_root(model);
        } else {
            const double target = rng.pick_target(total);
            double running = 0.0;
            for (std::size_t z = 0; z < n; ++z) {
                const double w = weight(p_root[z]);
                if (!(w > 0.0)) continue;
                running += w;
                start = z;
                if (running >= target) break;
            }
        }
        walk.run(start, rng, family_index, k, out);
    }
}

}  // namespace korvath::reconciliation
