#include "simulation/dated_tree.h"

#include "support/faults.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace korvath {
namespace {

std::string node_name(std::uint64_t v) { return "species tree: node " + std::to_string(v); }

void require_length(const char* what, std::size_t length, std::uint64_t n_nodes) {
    if (length < n_nodes) {
        fault(std::string("species tree: ") + what + " has " + std::to_string(length) +
              " entries but n_nodes is " + std::to_string(n_nodes));
    }
}

}  // namespace

SpeciesTree::SpeciesTree(SpeciesTreeArrays arrays) {
    check_lengths_and_parents(arrays);
    parent_ = std::move(arrays.parent);
    time_ = std::move(arrays.time);
    extant_leaf_ = std::move(arrays.extant_leaf);
    parent_.resize(n_nodes_);
    time_.resize(n_nodes_);
    extant_leaf_.resize(n_nodes_);
    build_children();
    check_roots_and_leaves();
    build_processing_order();
    check_order();
}

void SpeciesTree::check_lengths_and_parents(const SpeciesTreeArrays& arrays) {
    const std::uint64_t n = arrays.n_nodes;
    require_length("parent", arrays.parent.size(), n);
    require_length("time", arrays.time.size(), n);
    require_length("extant_leaf", arrays.extant_leaf.size(), n);
    // Node ids travel as 32-bit values (the branch column); the arrays could
    // never hold this many nodes in memory anyway.
    if (n >= std::numeric_limits<std::uint32_t>::max()) {
        fault("species tree: n_nodes " + std::to_string(n) + " exceeds the supported node count");
    }
    if (arrays.root >= n) {
        fault("species tree: root " + std::to_string(arrays.root) + " is not below n_nodes " +
              std::to_string(n));
    }
    for (std::uint64_t v = 0; v < n; ++v) {
        const std::int64_t p = arrays.parent[v];
        if (p >= 0 && static_cast<std::uint64_t>(p) >= n) {
            fault(node_name(v) + " has parent " + std::to_string(p) + ", not below n_nodes " +
                  std::to_string(n));
        }
    }
    n_nodes_ = static_cast<std::uint32_t>(n);
    root_ = static_cast<std::uint32_t>(arrays.root);
}

void SpeciesTree::build_children() {
    child_offsets_.assign(static_cast<std::size_t>(n_nodes_) + 1, 0);
    for (std::uint32_t v = 0; v < n_nodes_; ++v) {
        if (parent_[v] >= 0) ++child_offsets_[static_cast<std::size_t>(parent_[v]) + 1];
    }
    for (std::uint32_t v = 0; v < n_nodes_; ++v) child_offsets_[v + 1] += child_offsets_[v];
    child_nodes_.resize(child_offsets_[n_nodes_]);
    std::vector<std::uint32_t> fill(child_offsets_.begin(), child_offsets_.end() - 1);
    for (std::uint32_t v = 0; v < n_nodes_; ++v) {
        if (parent_[v] >= 0) child_nodes_[fill[static_cast<std::size_t>(parent_[v])]++] = v;
    }
}

void SpeciesTree::check_roots_and_leaves() const {
    if (parent_[root_] >= 0) {
        fault(node_name(root_) + " is the root but has parent " + std::to_string(parent_[root_]) +
              "; the root must have no parent");
    }
    for (std::uint32_t v = 0; v < n_nodes_; ++v) {
        const bool has_children = !children(v).empty();
        if (has_children && extant_leaf_[v]) {
            fault(node_name(v) + " is an extant leaf but has children");
        }
        if (has_children && v != root_ && parent_[v] < 0) {
            fault(node_name(v) + " has no parent and is not the root, but has children " +
                  "(only one node may be reachable as the root)");
        }
        // A run starts at the root's date and its clock advances towards
        // the next node's date: a NaN or infinite date anywhere would keep
        // the clock from ever reaching a node, and the run would go on until
        // its event limit or memory ran out.
        if (std::isnan(time_[v])) fault(node_name(v) + " has a NaN date");
        if (std::isinf(time_[v])) {
            fault(node_name(v) + " has an infinite date (" + (time_[v] > 0 ? "+" : "-") +
                  "inf); every date must be finite");
        }
    }
}

void SpeciesTree::build_processing_order() {
    order_.clear();
    for (std::uint32_t v = 0; v < n_nodes_; ++v) {
        if (parent_[v] >= 0) order_.push_back(v);
    }
    // No NaN is left among the dates (checked above), so the comparison is
    // a strict weak order; the stable sort keeps equal dates in index order.
    std::stable_sort(order_.begin(), order_.end(),
                     [this](std::uint32_t a, std::uint32_t b) { return time_[a] < time_[b]; });
}

void SpeciesTree::check_order() const {
    // Rank in the processing order; the root is processed before everything.
    std::vector<std::uint32_t> rank(n_nodes_, 0);
    for (std::size_t i = 0; i < order_.size(); ++i) rank[order_[i]] = static_cast<std::uint32_t>(i + 1);
    for (const std::uint32_t v : order_) {
        const auto p = static_cast<std::uint32_t>(parent_[v]);
        if (p == root_) {
            // The root is processed first whatever its date, so only the
            // dates can be wrong: a child dated before the root would have
            // its sister branches simulated from the root's date over a span
            // that begins before their parent exists.
            if (time_[v] < time_[root_]) {
                fault(node_name(v) + " comes before its parent " + std::to_string(p) +
                      " (the root): its date " + std::to_string(time_[v]) +
                      " is earlier than the root's " + std::to_string(time_[root_]) +
                      "; a node must be dated no earlier than its parent");
            }
            continue;
        }
        if (rank[p] >= rank[v]) {
            fault(node_name(v) + " comes before its parent " + std::to_string(p) +
                  " in the processing order (date " + std::to_string(time_[v]) +
                  " against the parent's " + std::to_string(time_[p]) +
                  "); a node must be dated after its parent, or equal with a larger index");
        }
    }
}

void SpeciesTree::require_two_children() const {
    const auto check = [this](std::uint32_t v) {
        const std::size_t count = children(v).size();
        if (count != 2) {
            fault(node_name(v) + " has " + std::to_string(count) +
                  " children; the gene-family engine needs exactly two at every speciation");
        }
    };
    check(root_);
    for (const std::uint32_t v : order_) {
        if (!extant_leaf_[v] && !children(v).empty()) check(v);
    }
}

}  // namespace korvath
