#include "reconciliation/likelihood_input.h"

#include "support/faults.h"

#include <string>
#include <vector>

namespace korvath::reconciliation {

std::size_t tree_count(const GeneTreeBatch& batch) {
    return batch.gt_offsets.size() < 2 ? 0 : batch.gt_offsets.size() - 1;
}

namespace {

void require_within(std::uint64_t end, std::size_t length, const char* array, std::size_t k) {
    if (end > length) {
        fault("gene tree " + std::to_string(k) + " ends at node " + std::to_string(end) +
              " but " + array + " has length " + std::to_string(length));
    }
}

}  // namespace

GeneTree cut_tree(const GeneTreeBatch& batch, std::size_t k) {
    if (k + 1 >= batch.gt_offsets.size()) fault("gene tree " + std::to_string(k) + " is not in the batch");
    const std::uint64_t a = batch.gt_offsets[k];
    const std::uint64_t b = batch.gt_offsets[k + 1];
    if (a > b) {
        fault("gene tree " + std::to_string(k) + " has decreasing offsets " + std::to_string(a) +
              " > " + std::to_string(b));
    }
    require_within(b, batch.gt_is_leaf.size(), "gt_is_leaf", k);
    require_within(b, batch.gt_left.size(), "gt_left", k);
    require_within(b, batch.gt_right.size(), "gt_right", k);
    require_within(b, batch.gt_species.size(), "gt_species", k);

    const auto start = static_cast<std::size_t>(a);
    const auto count = static_cast<std::size_t>(b - a);
    GeneTree tree;
    tree.is_leaf = std::span<const std::uint8_t>(batch.gt_is_leaf).subspan(start, count);
    tree.left = std::span<const std::int64_t>(batch.gt_left).subspan(start, count);
    tree.right = std::span<const std::int64_t>(batch.gt_right).subspan(start, count);
    tree.species = std::span<const std::int64_t>(batch.gt_species).subspan(start, count);
    if (tree.size() > 0) check_gene_tree_shape(tree);
    return tree;
}

void check_gene_tree_shape(const GeneTree& tree) {
    // The scorers combine each internal node's two children and read the
    // result at the last node. A node used as a child twice would be
    // counted twice, and a node that is nobody's child would be dropped
    // from the likelihood; both give a finite but meaningless value.
    constexpr std::size_t kNoParent = ~std::size_t{0};
    const std::size_t size = tree.size();
    std::vector<std::size_t> parent_of(size, kNoParent);
    for (std::size_t g = 0; g < size; ++g) {
        if (tree.is_tip(g)) continue;
        for (const std::int64_t stored : {tree.left[g], tree.right[g]}) {
            const std::size_t child = gene_child(tree, g, stored);
            if (parent_of[child] == g) {
                fault("gene node " + std::to_string(g) + " names node " + std::to_string(child) +
                      " as both of its children; every node but the root must be the child "
                      "of exactly one node");
            }
            if (parent_of[child] != kNoParent) {
                fault("gene node " + std::to_string(child) + " is a child of both node " +
                      std::to_string(parent_of[child]) + " and node " + std::to_string(g) +
                      "; every node but the root must be the child of exactly one node");
            }
            parent_of[child] = g;
        }
    }
    // The root is the last node; no node can name it as a child, since
    // children come before their parent.
    for (std::size_t g = 0; g + 1 < size; ++g) {
        if (parent_of[g] == kNoParent) {
            fault("gene node " + std::to_string(g) + " is the child of no node but is not the root " +
                  "(the root is the last node, " + std::to_string(size - 1) +
                  "); every node but the root must be the child of exactly one node");
        }
    }
}

void require_nodes(const GeneTree& tree) {
    if (tree.size() == 0) fault("gene tree has no nodes");
}

std::size_t gene_child(const GeneTree& tree, std::size_t g, std::int64_t child) {
    if (child < 0 || static_cast<std::uint64_t>(child) >= tree.size()) {
        fault("gene node " + std::to_string(g) + " has child " + std::to_string(child) +
              " outside its tree of " + std::to_string(tree.size()) + " nodes");
    }
    if (static_cast<std::uint64_t>(child) >= g) {
        fault("gene node " + std::to_string(g) + " has child " + std::to_string(child) +
              " that is not processed before it (post-order violated)");
    }
    return static_cast<std::size_t>(child);
}

}  // namespace korvath::reconciliation
