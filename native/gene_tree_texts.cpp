#include "gene_tree_texts.h"

#include "support/faults.h"
#include "writer/gene_tree.h"
#include "writer/name_check.h"
#include "writer/significant_cache.h"
#include "writer/text_buffer.h"
#include "writer/write_index.h"

#include <memory>

namespace korvath::native {

void gene_tree_texts(const EventLog& log, const std::vector<ExtantCopies>& extant,
                     const std::vector<std::string>& names, const SpeciesTree& species,
                     double total_age, bool extant_only,
                     const std::function<void(std::uint64_t, std::string_view)>& emit) {
    if (!log.columns_agree()) fault("event log columns differ in length");
    check_output_names(log, extant, names);
    const FamilyEvents grouped = group_by_family(log, extant);
    std::vector<EventRow> rows;
    TextBuffer text;
    auto lengths = std::make_unique<SignificantCache>(6);  // 40 KiB: not on the stack
    for (std::size_t rank = 0; rank < grouped.families.size(); ++rank) {
        grouped.gather_rows(rank, log, rows);
        const FamilyGenes genes(rows, grouped.extant_of(rank));
        if (!genes.has_root()) continue;
        GeneTree tree = build_gene_tree(genes.root_gene(), genes, total_age, &species);
        if (extant_only) {
            tree = prune_to_extant(std::move(tree));
            if (tree.root == kNoNode) continue;
        }
        text.clear();
        write_newick(tree, names, *lengths, text);
        text.append(";\n");
        emit(grouped.families[rank], text.view());
    }
}

}  // namespace korvath::native
