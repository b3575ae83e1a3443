#include "simulation/recipient.h"

#include "support/faults.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace korvath {
namespace {

// Marks the donor and all its ancestors up to the parentless node with a fresh stamp.
void mark_ancestors(std::uint32_t donor, const SpeciesTree& tree, RecipientScratch& scratch) {
    const auto& parent = tree.parent();
    if (scratch.ancestor_mark.size() != parent.size()) {
        scratch.ancestor_mark.assign(parent.size(), 0);
        scratch.stamp = 0;
    }
    if (++scratch.stamp == 0) {  // stamps wrapped: forget every old mark
        std::fill(scratch.ancestor_mark.begin(), scratch.ancestor_mark.end(), 0);
        scratch.stamp = 1;
    }
    std::uint64_t v = donor;
    for (std::size_t steps = 0;; ++steps) {
        if (v >= parent.size() || steps > parent.size()) {
            fault("transfer recipient: the ancestor walk from donor " + std::to_string(donor) +
                  " leaves the tree");
        }
        scratch.ancestor_mark[v] = scratch.stamp;
        const std::int64_t p = parent[v];
        if (p < 0) break;
        v = static_cast<std::uint64_t>(p);
    }
}

// The most recent common ancestor of `branch` with the marked donor lineage.
std::uint32_t meeting_node(std::uint32_t branch, const SpeciesTree& tree,
                           const RecipientScratch& scratch) {
    const auto& parent = tree.parent();
    std::uint64_t m = branch;
    for (std::size_t steps = 0;; ++steps) {
        if (m >= parent.size() || steps > parent.size()) {
            fault("transfer recipient: the walk from branch " + std::to_string(branch) +
                  " leaves the tree");
        }
        if (scratch.ancestor_mark[m] == scratch.stamp) return static_cast<std::uint32_t>(m);
        const std::int64_t p = parent[m];
        if (p < 0) {
            fault("transfer recipient: branch " + std::to_string(branch) +
                  " shares no ancestor with the donor (more than one root)");
        }
        m = static_cast<std::uint64_t>(p);
    }
}

std::uint32_t choose_weighted(Rng& rng, const ActiveBranches& active, std::uint32_t donor,
                              const SpeciesTree& tree, double t, const TransferOptions& options,
                              RecipientScratch& scratch) {
    const std::size_t n = active.size();
    const auto& time = tree.time();
    mark_ancestors(donor, tree, scratch);

    auto& distance = scratch.distance;
    distance.resize(n);
    double d_min = INFINITY;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t b = active[i];
        double d;
        if (b == donor) {
            d = options.allow_self ? 0.0 : INFINITY;
        } else {
            const double since = t - time[meeting_node(b, tree, scratch)];
            d = since + since;
        }
        distance[i] = d;
        if (d < d_min) d_min = d;  // NaN never wins
    }
    if (std::isinf(d_min) || std::isnan(d_min)) return kNoRecipient;

    auto& weight = scratch.weight;
    weight.resize(n);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = distance[i];
        weight[i] = std::isfinite(d) ? std::exp(-options.distance_decay * (d - d_min)) : 0.0;
        sum += weight[i];
    }
    if (sum <= 0.0) return kNoRecipient;

    double target = rng.scaled_uniform(sum);
    for (std::size_t i = 0; i < n; ++i) {
        target -= weight[i];
        if (target <= 0.0) return active[i];
    }
    return active[n - 1];  // rounding left a sliver of the target
}

}  // namespace

std::uint32_t choose_recipient(Rng& rng, const ActiveBranches& active, std::uint32_t donor,
                               const SpeciesTree& tree, double t, const TransferOptions& options,
                               RecipientScratch& scratch) {
    const std::size_t n = active.size();
    if (n == 0) return kNoRecipient;
    const bool uniform = options.distance_decay < 0.0;
    if (options.allow_self) {
        if (uniform) return active[rng.index_below(n)];
    } else {
        if (n == 1) return kNoRecipient;
        if (uniform) {
            const std::uint32_t p = active.position(donor);
            if (p == ActiveBranches::kNotActive) {
                fault("transfer recipient: donor " + std::to_string(donor) + " is not active");
            }
            return active[rng.index_below_skipping(n, p)];
        }
    }
    return choose_weighted(rng, active, donor, tree, t, options, scratch);
}

}  // namespace korvath
