#include "reconciliation/likelihood_input.h"

#include "support/faults.h"

#include <string>

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
    return tree;
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
