// The likelihood inputs: a species tree as flat per-node arrays and a batch of
// gene trees concatenated into one set of node arrays, cut apart by offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvath::reconciliation {

// Node i is also the branch ending at node i, running from its parent down to
// it. Time runs forward from the root towards the tips.
struct FlatSpeciesTree {
    std::vector<std::int64_t> sp_parent;  // dated calls only; its length is the branch count
    std::vector<std::int64_t> sp_left;    // first child, -1 for a tip
    std::vector<std::int64_t> sp_right;   // second child, -1 for a tip
    std::vector<std::uint8_t> sp_is_leaf;
    std::vector<double> sp_time;         // time at the lower end of each branch
    std::vector<double> sp_parent_time;  // time at the upper end of each branch
    std::uint64_t sp_root = 0;
};

// K gene trees: tree k owns the global nodes gt_offsets[k] .. gt_offsets[k+1]-1.
// Child indices are local to their tree; every tree is in local post-order.
struct GeneTreeBatch {
    std::vector<std::uint64_t> gt_offsets;
    std::vector<std::uint8_t> gt_is_leaf;
    std::vector<std::int64_t> gt_left;
    std::vector<std::int64_t> gt_right;
    std::vector<std::int64_t> gt_species;  // species branch of a tip, -1 for an internal node
};

// One tree of a batch: read-only views of the four node arrays over its range.
struct GeneTree {
    std::span<const std::uint8_t> is_leaf;
    std::span<const std::int64_t> left;
    std::span<const std::int64_t> right;
    std::span<const std::int64_t> species;

    std::size_t size() const { return is_leaf.size(); }
    bool is_tip(std::size_t g) const { return is_leaf[g] != 0; }
};

// Per-lineage event rates, used unchanged by both model families.
struct DtlRates {
    double dup = 0.0;
    double transfer = 0.0;
    double loss = 0.0;
};

// Number of trees in the batch: one less than the number of offsets, or 0.
std::size_t tree_count(const GeneTreeBatch& batch);

// Cuts tree k out of the batch after checking its offsets range against the
// four node arrays, then checks the shape of a non-empty tree
// (check_gene_tree_shape). Internal fault on failure.
GeneTree cut_tree(const GeneTreeBatch& batch, std::size_t k);

// Faults unless the tree is one tree in local post-order: every internal
// node's two children lie in the tree before it, every node except the
// root (the last node) is the child of exactly one node.
void check_gene_tree_shape(const GeneTree& tree);

// Faults unless the tree has at least one node.
void require_nodes(const GeneTree& tree);

// The local index of a child of internal node g, checked to name a node that
// comes before g (so it has already been processed).
std::size_t gene_child(const GeneTree& tree, std::size_t g, std::int64_t child);

}  // namespace korvath::reconciliation
