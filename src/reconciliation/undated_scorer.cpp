#include "reconciliation/undated_scorer.h"

#include "reconciliation/scaled_vectors.h"
#include "reconciliation/storage_budget.h"
#include "support/faults.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace korvath::reconciliation {

namespace {

double sum_in_order(const double* values, std::size_t count) {
    double sum = 0.0;
    for (std::size_t k = 0; k < count; ++k) sum += values[k];
    return sum;
}

// The tip term: p_speciation on the tip's own species branch.
void tip_source(const UndatedExtinction& model, const GeneTree& tree, std::size_t g,
                double* source) {
    const std::int64_t species = tree.species[g];
    if (species < 0 || static_cast<std::uint64_t>(species) >= model.n) {
        fault("gene tip " + std::to_string(g) + " has species " + std::to_string(species) +
              " outside the species tree of " + std::to_string(model.n) + " branches");
    }
    source[static_cast<std::size_t>(species)] = model.p_speciation;
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
        double c = (two_dup * a[z]) * b[z];
        if (!model.is_tip(z)) {
            const std::size_t f = model.left_child[z];
            const std::size_t h = model.right_child[z];
            c = c + (a[h] * b[f] + a[f] * b[h]) * ps;
        }
        if (transfers) {
            const double mean_a = mean_over_others(model, a, sum_a, z);
            const double mean_b = mean_over_others(model, b, sum_b, z);
            c = c + (a[z] * mean_b + b[z] * mean_a) * pt;
        }
        source[z] = c;
    }
}

// In-place sweeps of P until no entry moves by 1e-13 (at most 500). P and the
// source are stored scaled by 2^-exponent; the update is linear in both, and
// the tolerance applies to the true change.
void probability_fixed_point(const UndatedExtinction& model, const double* source, double* p,
                             std::int64_t exponent) {
    const std::size_t n = model.n;
    const double* e = model.extinction.data();
    const double ps = model.p_speciation;
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        double total = sum_in_order(p, n);
        double max_change = 0.0;
        for (std::size_t z = 0; z < n; ++z) {
            const double p_mean = mean_over_others(model, p, total, z);
            double w = 0.0;
            if (!model.is_tip(z)) {
                const std::size_t f = model.left_child[z];
                const std::size_t h = model.right_child[z];
                w = (p[h] * e[f] + p[f] * e[h]) * ps;
            }
            const double updated =
                (model.transfer_extinction[z] * p_mean + (w + source[z])) / model.denominator[z];
            const double change = updated - p[z];
            p[z] = updated;
            total += change;
            max_change = std::fmax(max_change, std::fabs(change));
        }
        if (below(max_change, exponent, kFixedPointTolerance)) break;
    }
}

}  // namespace

double undated_tree_loglik(const UndatedExtinction& model, const GeneTree& tree,
                           std::uint8_t origination) {
    require_nodes(tree);
    const std::size_t size = tree.size();
    const std::size_t n = model.n;
    const std::size_t cells =
        require_doubles(checked_mul(size, n, "per-node probabilities"), "per-node probabilities");
    std::vector<double> probability(cells, 0.0);
    std::vector<double> source(n, 0.0);
    // Node g's stored probabilities stand for probability * 2^exponent[g].
    std::vector<std::int64_t> exponent(size, 0);

    for (std::size_t g = 0; g < size; ++g) {
        std::fill(source.begin(), source.end(), 0.0);
        if (tree.is_tip(g)) {
            tip_source(model, tree, g, source.data());
        } else {
            const std::size_t c1 = gene_child(tree, g, tree.left[g]);
            const std::size_t c2 = gene_child(tree, g, tree.right[g]);
            internal_source(model, probability.data() + c1 * n, probability.data() + c2 * n,
                            source.data());
            // The source is a sum of products of one entry of each child.
            exponent[g] = exponent[c1] + exponent[c2];
            const int shift = rescale_exponent(max_magnitude(source.data(), n));
            if (shift != 0) {
                scale_down(source.data(), n, shift);
                exponent[g] += shift;
            }
        }
        probability_fixed_point(model, source.data(), probability.data() + g * n, exponent[g]);
    }

    const double* p_root = probability.data() + (size - 1) * n;
    double l;
    if (origination == 1) {
        l = sum_in_order(p_root, n) / static_cast<double>(n);
    } else {
        l = p_root[undated_root(model)];
    }
    return scaled_log(l, exponent[size - 1]);
}

}  // namespace korvath::reconciliation
