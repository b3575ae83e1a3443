#include "reconciliation/undated_scorer.h"

#include "reconciliation/scaled_vectors.h"
#include "reconciliation/storage_budget.h"
#include "support/faults.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvath::reconciliation {

namespace {

// Gene nodes whose fixed points run side by side, one per vector lane.
constexpr std::size_t kLanes = 4;
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));
using LaneMask = long long __attribute__((vector_size(kLanes * sizeof(double))));

// Tip vectors kept between trees: at most this many doubles (32 MiB).
constexpr std::size_t kTipCacheDoubles = std::size_t{1} << 22;

// Every lane set to x. (A macro: lane vectors are not passed to or returned
// from functions, whose calling convention for them depends on the
// instruction set.)
#define KORVATH_SPLAT(x) (Lanes{(x), (x), (x), (x)})

double sum_in_order(const double* values, std::size_t count) {
    double sum = 0.0;
    for (std::size_t k = 0; k < count; ++k) sum += values[k];
    return sum;
}

// The sum of values as eight interleaved partial sums, added up at the end:
// not the in-order sum, but the same for every call on the same values, and
// free of the in-order sum's chain of dependent additions.
double sum_in_eight_parts(const double* values, std::size_t count) {
    constexpr std::size_t kParts = 8;
    double part[kParts] = {};
    std::size_t k = 0;
    for (; k + kParts <= count; k += kParts) {
        for (std::size_t i = 0; i < kParts; ++i) part[i] = part[i] + values[k + i];
    }
    for (std::size_t i = 0; k < count; ++k, ++i) part[i] = part[i] + values[k];
    return ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
}

// The duplication and speciation parts of a split's term at branch z: both
// children's copies on z, or one in each daughter of z.
inline double duplication_and_speciation(const UndatedExtinction& model, const double* a,
                                         const double* b, std::size_t z, double two_dup,
                                         double ps) {
    double c = (two_dup * a[z]) * b[z];
    if (!model.is_tip(z)) {
        const std::size_t f = model.left_child[z];
        const std::size_t h = model.right_child[z];
        c = c + (a[h] * b[f] + a[f] * b[h]) * ps;
    }
    return c;
}

// The internal-node term from the children's vectors A and B: duplication on
// the branch, speciation into the two daughters, and one child transferred.
void internal_source(const UndatedExtinction& model, const double* a, const double* b,
                     double* source) {
    const std::size_t n = model.n;
    const double two_dup = 2.0 * model.p_dup;
    const double ps = model.p_speciation;
    const double pt = model.p_transfer;
    const bool transfers = pt > 0.0;
    const double sum_a = transfers ? sum_in_order(a, n) : 0.0;
    const double sum_b = transfers ? sum_in_order(b, n) : 0.0;
    for (std::size_t z = 0; z < n; ++z) {
        double c = duplication_and_speciation(model, a, b, z, two_dup, ps);
        if (transfers) {
            const double mean_a = mean_over_others(model, a, sum_a, z);
            const double mean_b = mean_over_others(model, b, sum_b, z);
            c = c + (a[z] * mean_b + b[z] * mean_a) * pt;
        }
        source[z] = c;
    }
}

}  // namespace

// The constant terms of the clades of a family that is not a plain tree (an
// unrooted tree, a sample of trees): the same terms as internal_source, each
// split's added into the clade's source with its factor, formed without its
// per-branch divisions and, in reldated mode, with the recipients' sums read
// off the overlap index (a few additions per branch) instead of summed over
// every branch's list. The values agree with internal_source's to rounding;
// a plain tree keeps internal_source, so it scores exactly as a tree.
class SplitSources {
public:
    explicit SplitSources(const UndatedExtinction& model)
        : model_(model), packed_(model.n), mean_a_(model.n), mean_b_(model.n) {}

    // source[z] += factor * term(a, b)[z] for every branch z.
    void add(const double* a, const double* b, double factor, double* source) {
        const UndatedExtinction& m = model_;
        const std::size_t n = m.n;
        const double two_dup = 2.0 * m.p_dup;
        const double ps = m.p_speciation;
        const double pt = m.p_transfer;
        if (pt > 0.0 && !m.reldated) {
            // The mean over the other branches is (sum - own) / (n - 1).
            const double sum_a = sum_in_eight_parts(a, n);
            const double sum_b = sum_in_eight_parts(b, n);
            const double scale = n >= 2 ? pt / (static_cast<double>(n) - 1.0) : 0.0;
            for (std::size_t z = 0; z < n; ++z) {
                double c = duplication_and_speciation(m, a, b, z, two_dup, ps);
                c = c + (a[z] * (sum_b - b[z]) + b[z] * (sum_a - a[z])) * scale;
                source[z] = source[z] + factor * c;
            }
            return;
        }
        if (pt > 0.0) recipient_means(a, b);
        for (std::size_t z = 0; z < n; ++z) {
            double c = duplication_and_speciation(m, a, b, z, two_dup, ps);
            if (pt > 0.0) c = c + (a[z] * mean_b_[z] + b[z] * mean_a_[z]) * pt;
            source[z] = source[z] + factor * c;
        }
    }

private:
    // Reldated: each branch's mean of a and of b over its recipients.
    void recipient_means(const double* a, const double* b) {
        const UndatedExtinction& m = model_;
        const std::size_t n = m.n;
        if (!m.overlaps.valid) {
            for (std::size_t z = 0; z < n; ++z) {
                mean_a_[z] = mean_over_others(m, a, 0.0, z);
                mean_b_[z] = mean_over_others(m, b, 0.0, z);
            }
            return;
        }
        for (std::size_t z = 0; z < n; ++z) packed_[z] = Lanes{a[z], b[z], 0.0, 0.0};
        sums_.build(m.overlaps, packed_.data(), KORVATH_SPLAT(0.0));
        for (std::size_t z = 0; z < n; ++z) {
            const double count = m.overlaps.count[z];
            if (count > 0.0) {
                const Lanes others = sums_.others(m.overlaps, z, packed_[z], KORVATH_SPLAT(0.0));
                mean_a_[z] = others[0] / count;
                mean_b_[z] = others[1] / count;
            } else {
                mean_a_[z] = 0.0;
                mean_b_[z] = 0.0;
            }
        }
    }

    const UndatedExtinction& model_;
    std::vector<Lanes> packed_;
    std::vector<double> mean_a_, mean_b_;
    IntervalSums<Lanes> sums_;
};

namespace {

// Whether every clade is a tree's node: one split, of weight 1.
bool plain_tree(const CladeFamily& family) {
    for (std::size_t c = 0; c < family.size(); ++c) {
        if (family.is_tip(c)) continue;
        const std::size_t begin = family.split_begin[c];
        if (family.split_begin[c + 1] - begin != 1 || family.split_weight[begin] != 1.0) return false;
    }
    return true;
}

// Brings a source vector back to range; returns the power of two taken out.
int normalise_source(double* source, std::size_t n) {
    const int shift = rescale_exponent(max_magnitude(source, n));
    if (shift != 0) scale_down(source, n, shift);
    return shift;
}

// The fixed points of up to kLanes gene nodes, one node per lane, for the
// models the direct solve does not cover: in-place sweeps of P in the
// model's sweep order until every entry of that node has settled (at most
// kMaxSweeps). Each lane performs exactly the scalar operations of its own
// node in the scalar order; the lanes only share the instructions, and a
// lane whose node has settled keeps its values while the others go on. The
// values are stored scaled by a power of two; the update is linear in P and
// the source, and the stop rule is relative, so the scale does not matter.
class LaneFixedPoint {
public:
    explicit LaneFixedPoint(std::size_t n) : p_(n), source_(n) {}

    void run(const UndatedExtinction& model, std::size_t lanes, const double* const* sources,
             double* const* out) {
        const std::size_t n = model.n;
        for (std::size_t z = 0; z < n; ++z) {
            Lanes c = KORVATH_SPLAT(0.0);
            for (std::size_t i = 0; i < lanes; ++i) c[i] = sources[i][z];
            source_[z] = c;
            p_[z] = KORVATH_SPLAT(0.0);
        }
        LaneMask active = {0, 0, 0, 0};
        for (std::size_t i = 0; i < lanes; ++i) active[i] = -1;
        for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
            LaneMask unsettled;
            if (model.reldated && model.overlaps.valid) {
                sweep_lanes<Means::kIntervals>(model, active, unsettled);
            } else if (model.reldated) {
                sweep_lanes<Means::kLists>(model, active, unsettled);
            } else {
                sweep_lanes<Means::kRunningTotal>(model, active, unsettled);
            }
            bool any = false;
            for (std::size_t i = 0; i < lanes; ++i) {
                if (unsettled[i] == 0) active[i] = 0;
                any = any || active[i] != 0;
            }
            if (!any) break;
        }
        for (std::size_t i = 0; i < lanes; ++i) {
            double* p = out[i];
            for (std::size_t z = 0; z < n; ++z) p[z] = p_[z][i];
        }
    }

private:
    // How a sweep forms a branch's mean over the other branches.
    enum class Means {
        kRunningTotal,  // undated: from the running sum
        kLists,         // reldated: over the recipient list, with this sweep's values
        kIntervals,     // reldated: through the overlap index, with the values at the
                        // start of the sweep (IntervalSums), so that each sweep solves
                        // the speciation part exactly and iterates only the transfers
    };

    template <Means kMeans>
    void mean_over_others_lanes(const UndatedExtinction& model, const Lanes& total,
                                std::size_t z, Lanes& mean) const {
        mean = KORVATH_SPLAT(0.0);
        if constexpr (kMeans == Means::kLists) {
            const std::size_t begin = model.recipients.offsets[z];
            const std::size_t end = model.recipients.offsets[z + 1];
            if (begin == end) return;
            const std::size_t* members = model.recipients.members.data();
            Lanes sum = KORVATH_SPLAT(0.0);
            for (std::size_t i = begin; i < end; ++i) sum = sum + p_[members[i]];
            mean = sum / KORVATH_SPLAT(static_cast<double>(end - begin));
        } else if constexpr (kMeans == Means::kIntervals) {
            const OverlapIndex& index = model.overlaps;
            if (index.count[z] > 0.0) {
                mean = sums_.others(index, z, p_[z], KORVATH_SPLAT(0.0)) /
                       KORVATH_SPLAT(index.count[z]);
            }
        } else if (model.n >= 2) {
            mean = (total - p_[z]) / KORVATH_SPLAT(static_cast<double>(model.n) - 1.0);
        }
    }

    // One sweep over every branch in the model's sweep order; marks the lanes
    // in which some entry has not settled (see `settled`).
    template <Means kMeans>
    void sweep_lanes(const UndatedExtinction& model, const LaneMask& active,
                     LaneMask& unsettled) {
        const std::size_t n = model.n;
        const double* e = model.extinction.data();
        const Lanes ps = KORVATH_SPLAT(model.p_speciation);
        const Lanes relative = KORVATH_SPLAT(kRelativeTolerance);
        const Lanes negligible = KORVATH_SPLAT(kNegligible);
        if constexpr (kMeans == Means::kIntervals) {
            sums_.build(model.overlaps, p_.data(), KORVATH_SPLAT(0.0));
        }
        Lanes total = KORVATH_SPLAT(0.0);
        for (std::size_t z = 0; z < n; ++z) total = total + p_[z];
        unsettled = LaneMask{0, 0, 0, 0};
        for (std::size_t z : model.sweep_order) {
            const Lanes old = p_[z];
            Lanes p_mean;
            mean_over_others_lanes<kMeans>(model, total, z, p_mean);
            Lanes w = KORVATH_SPLAT(0.0);
            if (!model.is_tip(z)) {
                const std::size_t f = model.left_child[z];
                const std::size_t h = model.right_child[z];
                w = (p_[h] * KORVATH_SPLAT(e[f]) + p_[f] * KORVATH_SPLAT(e[h])) * ps;
            }
            const Lanes updated =
                (KORVATH_SPLAT(model.transfer_extinction[z]) * p_mean + (w + source_[z])) /
                KORVATH_SPLAT(model.denominator[z]);
            const Lanes change = updated - old;
            p_[z] = active != 0 ? updated : old;
            total = total + change;
            const Lanes magnitude = change < 0.0 ? -change : change;
            const Lanes scale = updated < 0.0 ? -updated : updated;
            unsettled = unsettled | (magnitude > relative * scale + negligible);
        }
    }

    std::vector<Lanes> p_;
    std::vector<Lanes> source_;
    IntervalSums<Lanes> sums_;
};

// The direct solve of one gene node (model.direct): one children-first pass
// for u, then P = u + SP v with SP = sum(u) / (1 - sum(v)).
void direct_solve(const UndatedExtinction& model, const double* source, double* out) {
    const std::size_t n = model.n;
    direct_tree_pass(model, source, out);
    const double total = sum_in_order(out, n) / model.unit_response_gap;
    if (total == 0.0) return;
    const double* v = model.unit_response.data();
    for (std::size_t z = 0; z < n; ++z) out[z] = out[z] + total * v[z];
}

// The direct solve for families that are not plain trees: the same
// children-first pass, with its divisions replaced by products with their
// reciprocals and its speciation factors formed once, then its sum in eight
// parts. Agrees with direct_solve to rounding.
class QuickDirectSolve {
public:
    explicit QuickDirectSolve(const UndatedExtinction& model) : model_(model) {
        const std::size_t n = model.n;
        reciprocal_.resize(n);
        left_factor_.resize(n, 0.0);
        right_factor_.resize(n, 0.0);
        for (std::size_t z = 0; z < n; ++z) {
            reciprocal_[z] = 1.0 / model.solve_denominator[z];
            if (!model.is_tip(z)) {
                // w = P[h] * (ps E[f]) + P[f] * (ps E[h])
                left_factor_[z] = model.p_speciation * model.extinction[model.left_child[z]];
                right_factor_[z] = model.p_speciation * model.extinction[model.right_child[z]];
            }
        }
    }

    void run(const double* source, double* out) const {
        const UndatedExtinction& m = model_;
        const std::size_t n = m.n;
        for (std::size_t z : m.sweep_order) {
            double c = source[z];
            if (!m.is_tip(z)) {
                c = c + (out[m.right_child[z]] * left_factor_[z] +
                         out[m.left_child[z]] * right_factor_[z]);
            }
            out[z] = c * reciprocal_[z];
        }
        const double total = sum_in_eight_parts(out, n) / m.unit_response_gap;
        if (total == 0.0) return;
        const double* v = m.unit_response.data();
        for (std::size_t z = 0; z < n; ++z) out[z] = out[z] + total * v[z];
    }

private:
    const UndatedExtinction& model_;
    std::vector<double> reciprocal_, left_factor_, right_factor_;
};

// Checks the tree in node order (tip species in range, children processed
// before their parent) and returns each node's height above its deepest tip:
// nodes of the same height never depend on each other.
std::vector<std::size_t> checked_heights(const UndatedExtinction& model, const GeneTree& tree) {
    std::vector<std::size_t> height(tree.size(), 0);
    for (std::size_t g = 0; g < tree.size(); ++g) {
        if (tree.is_tip(g)) {
            const std::int64_t species = tree.species[g];
            if (species < 0 || static_cast<std::uint64_t>(species) >= model.n) {
                fault("gene tip " + std::to_string(g) + " has species " + std::to_string(species) +
                      " outside the species tree of " + std::to_string(model.n) + " branches");
            }
        } else {
            const std::size_t c1 = gene_child(tree, g, tree.left[g]);
            const std::size_t c2 = gene_child(tree, g, tree.right[g]);
            height[g] = std::max(height[c1], height[c2]) + 1;
        }
    }
    return height;
}

}  // namespace

UndatedScorer::UndatedScorer(const UndatedExtinction& model) : model_(model) {}

const UndatedScorer::TipVector& UndatedScorer::tip_vector(std::size_t species,
                                                          TipVector& scratch) {
    if (tips_.empty()) tips_.resize(model_.n);
    TipVector& cached = tips_[species];
    if (!cached.p.empty()) return cached;
    const std::size_t n = model_.n;
    const bool keep = cached_doubles_ + n <= kTipCacheDoubles;
    TipVector& tip = keep ? cached : scratch;
    std::vector<double> source(n, 0.0);
    source[species] = model_.p_speciation;
    tip.exponent = normalise_source(source.data(), n);
    tip.p.assign(n, 0.0);
    if (model_.direct) {
        direct_solve(model_, source.data(), tip.p.data());
    } else {
        LaneFixedPoint fixed_point(n);
        const double* sources[1] = {source.data()};
        double* out[1] = {tip.p.data()};
        fixed_point.run(model_, 1, sources, out);
    }
    if (keep) cached_doubles_ += n;
    return tip;
}

double UndatedScorer::score(const GeneTree& tree, std::uint8_t origination) {
    require_nodes(tree);
    const std::size_t size = tree.size();
    const std::size_t n = model_.n;
    const std::size_t cells =
        require_doubles(checked_mul(size, n, "per-node probabilities"), "per-node probabilities");
    const std::vector<std::size_t> height = checked_heights(model_, tree);
    std::vector<double> probability(cells, 0.0);
    // Node g's stored probabilities stand for probability * 2^exponent[g].
    std::vector<std::int64_t> exponent(size, 0);
    TipVector scratch;
    if (model_.direct) {
        std::vector<double> source(n, 0.0);
        for (std::size_t g = 0; g < size; ++g) {
            double* out = probability.data() + g * n;
            if (tree.is_tip(g)) {
                const TipVector& tip = tip_vector(static_cast<std::size_t>(tree.species[g]), scratch);
                std::copy(tip.p.begin(), tip.p.end(), out);
                exponent[g] = tip.exponent;
                continue;
            }
            const auto c1 = static_cast<std::size_t>(tree.left[g]);
            const auto c2 = static_cast<std::size_t>(tree.right[g]);
            internal_source(model_, probability.data() + c1 * n, probability.data() + c2 * n,
                            source.data());
            // The source is a sum of products of one entry of each child.
            exponent[g] = exponent[c1] + exponent[c2] + normalise_source(source.data(), n);
            direct_solve(model_, source.data(), out);
        }
        return root_loglik(probability.data() + (size - 1) * n, exponent[size - 1], origination);
    }

    // Nodes grouped by height, each group in node order.
    const std::size_t levels = *std::max_element(height.begin(), height.end()) + 1;
    std::vector<std::size_t> level_start(levels + 1, 0);
    for (std::size_t h : height) ++level_start[h + 1];
    for (std::size_t l = 0; l < levels; ++l) level_start[l + 1] += level_start[l];
    std::vector<std::size_t> order(size);
    {
        std::vector<std::size_t> next(level_start.begin(), level_start.end() - 1);
        for (std::size_t g = 0; g < size; ++g) order[next[height[g]]++] = g;
    }

    for (std::size_t i = level_start[0]; i < level_start[1]; ++i) {
        const std::size_t g = order[i];
        const TipVector& tip = tip_vector(static_cast<std::size_t>(tree.species[g]), scratch);
        std::copy(tip.p.begin(), tip.p.end(), probability.begin() + g * n);
        exponent[g] = tip.exponent;
    }

    LaneFixedPoint fixed_point(n);
    std::vector<double> sources(kLanes * n, 0.0);
    for (std::size_t l = 1; l < levels; ++l) {
        for (std::size_t first = level_start[l]; first < level_start[l + 1]; first += kLanes) {
            const std::size_t lanes = std::min(kLanes, level_start[l + 1] - first);
            const double* source_of[kLanes] = {};
            double* out[kLanes] = {};
            for (std::size_t i = 0; i < lanes; ++i) {
                const std::size_t g = order[first + i];
                const auto c1 = static_cast<std::size_t>(tree.left[g]);
                const auto c2 = static_cast<std::size_t>(tree.right[g]);
                double* source = sources.data() + i * n;
                internal_source(model_, probability.data() + c1 * n, probability.data() + c2 * n,
                                source);
                // The source is a sum of products of one entry of each child.
                exponent[g] = exponent[c1] + exponent[c2] + normalise_source(source, n);
                source_of[i] = source;
                out[i] = probability.data() + g * n;
            }
            fixed_point.run(model_, lanes, source_of, out);
        }
    }

    return root_loglik(probability.data() + (size - 1) * n, exponent[size - 1], origination);
}

double UndatedScorer::root_loglik(const double* p_root, std::int64_t exponent,
                                  std::uint8_t origination) const {
    double l;
    if (origination == 1) {
        l = sum_in_order(p_root, model_.n) / static_cast<double>(model_.n);
    } else {
        l = p_root[undated_root(model_)];
    }
    return scaled_log(l, exponent);
}

std::int64_t UndatedScorer::clade_source(const CladeFamily& family, std::size_t c,
                                         const double* probability, const std::int64_t* exponent,
                                         double* source, std::vector<double>& split_source,
                                         SplitSources* fast) const {
    const std::size_t n = model_.n;
    const std::size_t begin = family.split_begin[c];
    const std::size_t end = family.split_begin[c + 1];
    auto split_exponent = [&](std::size_t s) {
        return exponent[family.split_left[s]] + exponent[family.split_right[s]];
    };
    std::int64_t top = split_exponent(begin);
    for (std::size_t s = begin + 1; s < end; ++s) top = std::max(top, split_exponent(s));
    if (fast != nullptr) {
        std::fill(source, source + n, 0.0);
        for (std::size_t s = begin; s < end; ++s) {
            const auto c1 = static_cast<std::size_t>(family.split_left[s]);
            const auto c2 = static_cast<std::size_t>(family.split_right[s]);
            fast->add(probability + c1 * n, probability + c2 * n,
                      ldexp_wide(family.split_weight[s], split_exponent(s) - top), source);
        }
        return top + normalise_source(source, n);
    }
    for (std::size_t s = begin; s < end; ++s) {
        const auto c1 = static_cast<std::size_t>(family.split_left[s]);
        const auto c2 = static_cast<std::size_t>(family.split_right[s]);
        double* target = s == begin ? source : split_source.data();
        internal_source(model_, probability + c1 * n, probability + c2 * n, target);
        // The split's weight in the clade's scale; exactly 1 for a rooted tree's node.
        const double factor = ldexp_wide(family.split_weight[s], split_exponent(s) - top);
        if (s == begin) {
            if (factor != 1.0) {
                for (std::size_t z = 0; z < n; ++z) source[z] = source[z] * factor;
            }
        } else {
            for (std::size_t z = 0; z < n; ++z) source[z] = source[z] + factor * target[z];
        }
    }
    return top + normalise_source(source, n);
}

double UndatedScorer::score_clades(const CladeFamily& family, std::uint8_t origination) {
    const CladeTable table = solve_clades(family);
    return root_loglik(table.probability.data() + (family.size() - 1) * model_.n,
                       table.exponent.back(), origination);
}

UndatedScorer::CladeTable UndatedScorer::solve_clades(const CladeFamily& family) {
    const std::size_t size = family.size();
    const std::size_t n = model_.n;
    const std::size_t cells = require_doubles(checked_mul(size, n, "per-clade probabilities"),
                                              "per-clade probabilities");
    // Tip species in range; each clade's height above its deepest tip over all
    // its splits, so that clades of one height never depend on each other.
    std::vector<std::size_t> height(size, 0);
    for (std::size_t c = 0; c < size; ++c) {
        if (family.is_tip(c)) {
            const std::int64_t species = family.species[c];
            if (species < 0 || static_cast<std::uint64_t>(species) >= n) {
                fault("gene clade " + std::to_string(c) + " has species " +
                      std::to_string(species) + " outside the species tree of " +
                      std::to_string(n) + " branches");
            }
            continue;
        }
        for (std::size_t s = family.split_begin[c]; s < family.split_begin[c + 1]; ++s) {
            height[c] = std::max({height[c], height[family.split_left[s]] + 1,
                                  height[family.split_right[s]] + 1});
        }
    }
    std::vector<double> probability(cells, 0.0);
    std::vector<std::int64_t> exponent(size, 0);
    std::vector<double> split_source(n, 0.0);
    // A plain tree is computed exactly as a tree; any other family through
    // the faster form of the same sums.
    std::unique_ptr<SplitSources> fast;
    if (!plain_tree(family)) fast = std::make_unique<SplitSources>(model_);
    TipVector scratch;
    for (std::size_t c = 0; c < size; ++c) {
        if (!family.is_tip(c)) continue;
        const TipVector& tip = tip_vector(static_cast<std::size_t>(family.species[c]), scratch);
        std::copy(tip.p.begin(), tip.p.end(), probability.begin() + c * n);
        exponent[c] = tip.exponent;
    }
    if (model_.direct) {
        std::vector<double> source(n, 0.0);
        std::unique_ptr<QuickDirectSolve> quick;
        if (fast) quick = std::make_unique<QuickDirectSolve>(model_);
        for (std::size_t c = 0; c < size; ++c) {
            if (family.is_tip(c)) continue;
            exponent[c] = clade_source(family, c, probability.data(), exponent.data(),
                                       source.data(), split_source, fast.get());
            if (quick) {
                quick->run(source.data(), probability.data() + c * n);
            } else {
                direct_solve(model_, source.data(), probability.data() + c * n);
            }
        }
    } else {
        // Clades of one height side by side in the lanes of the iterative solve.
        const std::size_t levels = *std::max_element(height.begin(), height.end()) + 1;
        std::vector<std::vector<std::size_t>> by_level(levels);
        for (std::size_t c = 0; c < size; ++c) {
            if (!family.is_tip(c)) by_level[height[c]].push_back(c);
        }
        LaneFixedPoint fixed_point(n);
        std::vector<double> sources(kLanes * n, 0.0);
        for (const std::vector<std::size_t>& level : by_level) {
            for (std::size_t first = 0; first < level.size(); first += kLanes) {
                const std::size_t lanes = std::min(kLanes, level.size() - first);
                const double* source_of[kLanes] = {};
                double* out[kLanes] = {};
                for (std::size_t i = 0; i < lanes; ++i) {
                    const std::size_t c = level[first + i];
                    double* source = sources.data() + i * n;
                    exponent[c] = clade_source(family, c, probability.data(), exponent.data(),
                                               source, split_source, fast.get());
                    source_of[i] = source;
                    out[i] = probability.data() + c * n;
                }
                fixed_point.run(model_, lanes, source_of, out);
            }
        }
    }
    return CladeTable{std::move(probability), std::move(exponent)};
}

double undated_tree_loglik(const UndatedExtinction& model, const GeneTree& tree,
                           std::uint8_t origination) {
    UndatedScorer scorer(model);
    return scorer.score(tree, origination);
}

}  // namespace korvath::reconciliation

#undef KORVATH_SPLAT
