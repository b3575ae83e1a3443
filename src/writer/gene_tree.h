// A family's gene tree, rebuilt from its events: built, pruned to the extant
// copies and printed as Newick. Trees can be as deep as the family has
// events, so every walk uses an explicit stack, never recursion.
#pragma once

#include "simulation/dated_tree.h"
#include "writer/event_row.h"
#include "writer/flat_map.h"
#include "writer/significant_cache.h"
#include "writer/text_buffer.h"
#include "writer/write_index.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvath {

inline constexpr std::size_t kNoNode = ~std::size_t{0};

struct GeneTreeNode {
    bool has_species = false;     // an extant copy: `species` is its leaf node
    std::uint64_t species = 0;
    std::size_t children[2] = {kNoNode, kNoNode};  // both set, or neither
    std::uint64_t gene = 0;
    double start = 0.0;
    double end = 0.0;
    bool lost = false;

    bool is_leaf() const { return children[0] == kNoNode; }
};

// A tree stored in one array; a parent is always stored before its
// children, so walking the array backwards visits children first.
struct GeneTree {
    std::vector<GeneTreeNode> nodes;
    std::size_t root = kNoNode;  // kNoNode: the tree is empty
};

// Where the events place a gene: the species branch it was born on, either
// named directly (O, D and T rows) or as a child of a speciating node (S rows
// name the node; the copy goes to its left or right child).
enum class GeneHome : std::uint8_t { Unknown, Branch, LeftChildOf, RightChildOf };

// What a family's events say about each of its genes.
struct GeneRecord {
    std::uint64_t gene = 0;
    double start = 0.0;
    double end = 0.0;
    std::uint64_t child1 = 0;
    std::uint64_t child2 = 0;
    bool has_start = false;
    bool has_end = false;
    GeneHome home_kind = GeneHome::Unknown;
    std::uint32_t home = 0;  // the branch, or the speciating node, per home_kind
    std::uint64_t leaf = 0;
    std::uint32_t child1_slot = 0;  // the records of child1 and child2
    std::uint32_t child2_slot = 0;
    bool has_children = false;  // ended by a D, T or S event
    bool lost = false;          // ended by an L event
    bool has_leaf = false;      // an extant copy: `leaf` is its extant leaf node
};

class FamilyGenes {
public:
    // Reads the family's events in log order, then its extant copies.
    FamilyGenes(std::span<const EventRow> rows, std::span<const ExtantGene> extant);

    bool has_root() const { return has_root_; }
    std::uint64_t root_gene() const { return root_gene_; }
    // nullptr when the events never mention the gene.
    const GeneRecord* find(std::uint64_t gene) const;
    // The record in `slot` (a child slot of another record).
    const GeneRecord& at(std::uint32_t slot) const { return records_[slot]; }
    std::size_t n_events() const { return n_events_; }

private:
    void read_events(std::span<const EventRow> rows);
    // Records the branches of the two copies a D, T or S row creates.
    static void place_children(const EventRow& row, GeneRecord& first, GeneRecord& second);
    std::uint32_t slot(std::uint64_t gene);
    GeneRecord& record(std::uint64_t gene) { return records_[slot(gene)]; }

    FlatMap<std::uint32_t> slot_of_gene_;
    std::vector<GeneRecord> records_;
    std::uint64_t root_gene_ = 0;
    bool has_root_ = false;
    std::size_t n_events_ = 0;
};

// The complete tree below `root_gene`: child1 subtree first, then child2.
// A leaf that is neither lost nor extant ends at `total_age`, unless
// `species` is given and places the gene on an extinct leaf (a species that
// ends without children before the present): the copy was there when its
// species died out, so its branch ends at that species' date.
GeneTree build_gene_tree(std::uint64_t root_gene, const FamilyGenes& genes, double total_age,
                         const SpeciesTree* species = nullptr);

// Keeps only the leaves that sit in an extant leaf; single survivors take
// over the start of the node they replace. The result may be empty.
GeneTree prune_to_extant(GeneTree tree);

// Appends the Newick text of the tree (without the closing ";").
// `lengths` (6 digits) memoises branch lengths that recur.
void write_newick(const GeneTree& tree, const std::vector<std::string>& names,
                  SignificantCache& lengths, TextBuffer& out);
void write_newick(const GeneTree& tree, const std::vector<std::string>& names, TextBuffer& out);

}  // namespace korvath
