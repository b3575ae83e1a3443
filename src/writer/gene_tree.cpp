#include "writer/gene_tree.h"

#include "support/faults.h"
#include "writer/format_significant.h"
#include "writer/significant_cache.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

namespace korvath {

FamilyGenes::FamilyGenes(std::span<const EventRow> rows, std::span<const ExtantGene> extant)
    : slot_of_gene_(2 * rows.size() + 1), n_events_(rows.size()) {
    records_.reserve(2 * rows.size() + 1);
    read_events(rows);
    for (const ExtantGene& copy : extant) {
        GeneRecord& sampled = record(copy.gene);
        sampled.leaf = copy.leaf;
        sampled.has_leaf = true;
    }
}

void FamilyGenes::read_events(std::span<const EventRow> rows) {
    for (const EventRow& row : rows) {
        const double t = row.time;
        const std::uint64_t gene = row.gene;
        switch (static_cast<EventKind>(row.kind)) {
            case EventKind::Origination: {
                GeneRecord& origin = record(gene);
                if (!origin.has_start) {
                    origin.start = t;
                    origin.has_start = true;
                }
                origin.home_kind = GeneHome::Branch;
                origin.home = row.branch;
                root_gene_ = gene;
                has_root_ = true;
                break;
            }
            case EventKind::Duplication:
            case EventKind::Transfer:
            case EventKind::Speciation: {
                const auto child1 = static_cast<std::uint64_t>(row.child1);
                const auto child2 = static_cast<std::uint64_t>(row.child2);
                const std::uint32_t parent_slot = slot(gene);
                const std::uint32_t slot1 = slot(child1);
                const std::uint32_t slot2 = slot(child2);
                GeneRecord& parent = records_[parent_slot];
                parent.child1 = child1;
                parent.child2 = child2;
                parent.child1_slot = slot1;
                parent.child2_slot = slot2;
                parent.has_children = true;
                parent.end = t;
                parent.has_end = true;
                for (std::uint32_t child : {slot1, slot2}) {
                    GeneRecord& born = records_[child];
                    born.start = t;
                    born.has_start = true;
                }
                place_children(row, records_[slot1], records_[slot2]);
                break;
            }
            case EventKind::Loss: {
                GeneRecord& lost = record(gene);
                lost.lost = true;
                lost.end = t;
                lost.has_end = true;
                break;
            }
            default:
                fault("unknown event kind in the event log");
        }
    }
}

void FamilyGenes::place_children(const EventRow& row, GeneRecord& first, GeneRecord& second) {
    switch (static_cast<EventKind>(row.kind)) {
        case EventKind::Speciation:
            first.home_kind = GeneHome::LeftChildOf;
            second.home_kind = GeneHome::RightChildOf;
            first.home = second.home = row.branch;
            break;
        case EventKind::Transfer:
            // The copy that stays keeps the donor's branch; the other one
            // sits on the recipient.
            first.home_kind = GeneHome::Branch;
            first.home = row.branch;
            second.home_kind = row.recipient >= 0 ? GeneHome::Branch : GeneHome::Unknown;
            second.home = row.recipient >= 0 ? static_cast<std::uint32_t>(row.recipient) : 0;
            break;
        default:  // duplication: both copies stay on the branch
            first.home_kind = second.home_kind = GeneHome::Branch;
            first.home = second.home = row.branch;
            break;
    }
}

std::uint32_t FamilyGenes::slot(std::uint64_t gene) {
    if (records_.size() >= std::numeric_limits<std::uint32_t>::max()) {
        fault("too many genes in one family");
    }
    const auto next = static_cast<std::uint32_t>(records_.size());
    const auto [slot, inserted] = slot_of_gene_.try_insert(gene, next);
    if (inserted) records_.emplace_back().gene = gene;
    return *slot;
}

const GeneRecord* FamilyGenes::find(std::uint64_t gene) const {
    const std::uint32_t* slot = slot_of_gene_.find(gene);
    return slot == nullptr ? nullptr : &records_[*slot];
}

namespace {

double end_date(const GeneRecord& record) {
    if (!record.has_end) fault("no entry found for key");
    return record.end;
}

// The species branch the events place the gene on, or nullopt when they do
// not (or name a node the tree lacks).
std::optional<std::uint32_t> home_branch(const GeneRecord& record, const SpeciesTree& species) {
    if (record.home >= species.n_nodes()) return std::nullopt;
    switch (record.home_kind) {
        case GeneHome::Branch:
            return record.home;
        case GeneHome::LeftChildOf:
        case GeneHome::RightChildOf: {
            const auto children = species.children(record.home);
            const std::size_t side = record.home_kind == GeneHome::LeftChildOf ? 0 : 1;
            if (side >= children.size()) return std::nullopt;
            return children[side];
        }
        case GeneHome::Unknown:
            break;
    }
    return std::nullopt;
}

// Where the branch of a leaf gene that was neither lost nor sampled ends: at
// the date of its species when that species is an extinct leaf (the engine
// drops such copies with the species, without a row), else at the present.
double unsampled_end(const GeneRecord* record, const SpeciesTree* species, double total_age) {
    if (record == nullptr || species == nullptr) return total_age;
    const std::optional<std::uint32_t> branch = home_branch(*record, *species);
    if (!branch || species->is_extant_leaf(*branch) || !species->children(*branch).empty()) {
        return total_age;
    }
    return species->time()[*branch];
}

}  // namespace

GeneTree build_gene_tree(std::uint64_t root_gene, const FamilyGenes& genes, double total_age,
                         const SpeciesTree* species) {
    struct Pending {
        std::uint64_t gene;
        const GeneRecord* record;  // nullptr: the events never mention the gene
        std::size_t parent;
        int side;
    };
    // A consistent log names every gene as the child of at most one event,
    // so the tree has at most one node per event child plus the root. More
    // means the events loop back on themselves.
    const std::size_t max_nodes = 2 * genes.n_events() + 1;

    GeneTree tree;
    std::vector<Pending> pending{{root_gene, genes.find(root_gene), kNoNode, 0}};
    while (!pending.empty()) {
        const Pending next = pending.back();
        pending.pop_back();
        if (tree.nodes.size() >= max_nodes) fault("gene tree revisits a gene: inconsistent event log");

        GeneTreeNode node;
        node.gene = next.gene;
        const GeneRecord* record = next.record;
        node.start = (record != nullptr && record->has_start) ? record->start : 0.0;
        const std::size_t index = tree.nodes.size();
        if (record != nullptr && record->has_children) {
            node.end = end_date(*record);
            // Last in, first out: the child1 subtree is built (and stored) first.
            pending.push_back({record->child2, &genes.at(record->child2_slot), index, 1});
            pending.push_back({record->child1, &genes.at(record->child1_slot), index, 0});
        } else if (record != nullptr && record->lost) {
            node.end = end_date(*record);
            node.lost = true;
        } else if (record != nullptr && record->has_leaf) {
            node.end = total_age;
            node.has_species = true;
            node.species = record->leaf;
        } else {
            node.end = unsampled_end(record, species, total_age);
        }
        tree.nodes.push_back(node);
        if (next.parent != kNoNode) tree.nodes[next.parent].children[next.side] = index;
    }
    tree.root = 0;
    return tree;
}

GeneTree prune_to_extant(GeneTree tree) {
    std::vector<GeneTreeNode>& nodes = tree.nodes;
    std::vector<std::size_t> survivor(nodes.size(), kNoNode);
    for (std::size_t i = nodes.size(); i-- > 0;) {
        GeneTreeNode& node = nodes[i];
        if (node.is_leaf()) {
            if (node.has_species) survivor[i] = i;
            continue;
        }
        const std::size_t first = survivor[node.children[0]];
        const std::size_t second = survivor[node.children[1]];
        if (first != kNoNode && second != kNoNode) {
            node.children[0] = first;
            node.children[1] = second;
            survivor[i] = i;
        } else if (first != kNoNode || second != kNoNode) {
            // The lone survivor's branch now reaches up to this node's start.
            const std::size_t only = first != kNoNode ? first : second;
            nodes[only].start = node.start;
            survivor[i] = only;
        }
    }
    tree.root = tree.root == kNoNode ? kNoNode : survivor[tree.root];
    return tree;
}

namespace {

void append_branch_label(TextBuffer& out, const GeneTreeNode& node,
                         const std::vector<std::string>& names, SignificantCache& lengths) {
    // Leaves carry "LOSS_" or their species name and "_" before the gene id.
    const bool lost = node.is_leaf() && node.lost;
    const bool sampled = node.is_leaf() && !node.lost && node.has_species;
    const std::string_view species =
        sampled ? std::string_view(checked_at(names, node.species, "names")) : std::string_view();
    char* p = out.claim(species.size() + 6 + TextBuffer::kIntegerChars + kSignificantMaxChars);
    if (lost) p = TextBuffer::put(p, "LOSS_");
    if (sampled) {
        p = TextBuffer::put(p, species);
        p = TextBuffer::put(p, '_');
    }
    p = TextBuffer::put_decimal(p, node.gene);
    p = TextBuffer::put(p, ':');
    // Branches between two species nodes have the same length in many families.
    p = lengths.write(p, std::max(node.end - node.start, 0.0));
    out.commit(p);
}

}  // namespace

void write_newick(const GeneTree& tree, const std::vector<std::string>& names, TextBuffer& out) {
    auto lengths = std::make_unique<SignificantCache>(6);
    write_newick(tree, names, *lengths, out);
}

void write_newick(const GeneTree& tree, const std::vector<std::string>& names,
                  SignificantCache& lengths, TextBuffer& out) {
    if (tree.root == kNoNode) return;
    struct Visit {
        std::size_t node;
        int next_child;
    };
    std::vector<Visit> stack{{tree.root, 0}};
    while (!stack.empty()) {
        Visit& top = stack.back();
        const GeneTreeNode& node = tree.nodes[top.node];
        if (node.is_leaf()) {
            append_branch_label(out, node, names, lengths);
            stack.pop_back();
            continue;
        }
        if (top.next_child < 2) {
            out.append(top.next_child == 0 ? "(" : ",");
            const std::size_t child = node.children[top.next_child];
            ++top.next_child;
            stack.push_back({child, 0});  // `top` is not used after this
            continue;
        }
        out.append(")");
        append_branch_label(out, node, names, lengths);
        stack.pop_back();
    }
}

}  // namespace korvath
