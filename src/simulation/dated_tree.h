// The dated species tree every simulator walks, with what is derived from it
// before a run: the children lists and the processing order.
//
// Construction validates the requirements every simulator relies on and
// throws korvath::InternalFault naming the node and the broken requirement:
//   - `parent`, `time` and `extant_leaf` hold at least `n_nodes` entries
//     (entries past `n_nodes` are ignored);
//   - every non-negative parent entry is below `n_nodes` (any negative entry
//     means "no parent");
//   - `root` is below `n_nodes` and has no parent;
//   - any other parentless node has no children;
//   - an extant leaf has no children;
//   - every date among the first `n_nodes` is finite (no NaN, no infinity),
//     the root's and those of lone parentless nodes included;
//   - every node with a parent comes after its parent in the processing order
//     (the root, processed at the start, comes before everything), and a
//     child of the root is dated no earlier than the root.
// Every simulator builds this tree before its first event, so a tree that
// breaks one of these ends the call before anything is simulated.
// The gene-family engine additionally calls require_two_children().
#pragma once

#include "simulation/dated_tree_arrays.h"

#include <cstdint>
#include <span>
#include <vector>

namespace korvath {

class SpeciesTree {
public:
    explicit SpeciesTree(SpeciesTreeArrays arrays);

    std::uint32_t n_nodes() const { return n_nodes_; }
    std::uint32_t root() const { return root_; }

    // Truncated to n_nodes entries.
    const std::vector<std::int64_t>& parent() const { return parent_; }
    const std::vector<double>& time() const { return time_; }
    bool is_extant_leaf(std::uint32_t v) const { return extant_leaf_[v] != 0; }

    // Children of v in ascending node index; the first is the left child, the
    // second the right child.
    std::span<const std::uint32_t> children(std::uint32_t v) const {
        return {child_nodes_.data() + child_offsets_[v],
                child_nodes_.data() + child_offsets_[v + 1]};
    }

    // Every node with a parent, by ascending date, ties by ascending index.
    const std::vector<std::uint32_t>& processing_order() const { return order_; }

    // The gene-family engine hands a branch's content to exactly two children:
    // the root and every node of the processing order that is neither an
    // extant leaf nor childless must have exactly two children.
    void require_two_children() const;

private:
    void check_lengths_and_parents(const SpeciesTreeArrays& arrays);
    void build_children();
    void check_roots_and_leaves() const;
    void build_processing_order();
    void check_order() const;

    std::uint32_t n_nodes_ = 0;
    std::uint32_t root_ = 0;
    std::vector<std::int64_t> parent_;
    std::vector<double> time_;
    std::vector<std::uint8_t> extant_leaf_;
    std::vector<std::uint32_t> child_offsets_;  // n_nodes + 1 offsets into child_nodes_
    std::vector<std::uint32_t> child_nodes_;
    std::vector<std::uint32_t> order_;
};

}  // namespace korvath
