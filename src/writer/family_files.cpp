#include "writer/family_files.h"

#include "support/faults.h"
#include "support/worker_pool.h"
#include "writer/event_table.h"
#include "writer/gene_tree.h"
#include "writer/output_files.h"
#include "writer/output_paths.h"
#include "writer/text_append.h"

namespace korvath {

namespace {

// "<directory>/<family number><suffix>" with the family number = id + 1.
std::string family_file(const std::string& outdir, const char* directory,
                        std::uint64_t family, const char* suffix) {
    if (family == ~std::uint64_t{0}) fault("family id too large to number");
    std::string name;
    append_decimal(name, family + 1);
    name += suffix;
    return join_path(join_path(outdir, directory), name);
}

}  // namespace

void write_one_family(const FamilyFileInput& input, std::size_t rank) {
    const std::uint64_t family = checked_at(input.family_events.families, rank, "families");
    // Per worker thread, reused from family to family.
    thread_local std::vector<EventRow> family_rows;
    input.family_events.gather_rows(rank, input.log, family_rows);
    const std::span<const EventRow> rows = family_rows;

    // One text buffer per worker thread, reused from family to family: the
    // large families would otherwise map and fault in fresh memory each time.
    thread_local TextBuffer text;
    text.clear();
    event_table_text(rows, input.names, text);
    write_whole_file(family_file(input.outdir, kEventsDirectory, family, "_events.tsv"),
                     text.view());

    const FamilyGenes genes(rows, input.family_events.extant_of(rank));
    if (!genes.has_root()) return;

    GeneTree tree = build_gene_tree(genes.root_gene(), genes, input.total_age);
    text.clear();
    write_newick(tree, input.names, text);
    text.append(";\n");
    write_whole_file(family_file(input.outdir, kTreesDirectory, family, "_complete.nwk"),
                     text.view());

    GeneTree extant = prune_to_extant(std::move(tree));
    if (extant.root == kNoNode) return;
    text.clear();
    write_newick(extant, input.names, text);
    text.append(";\n");
    write_whole_file(family_file(input.outdir, kTreesDirectory, family, "_extant.nwk"),
                     text.view());
}

void write_family_files(const FamilyFileInput& input) {
    const std::size_t n_families = input.family_events.families.size();
    if (n_families == 0) return;
    WorkerPool::shared().run_indexed(n_families,
                                     [&](std::size_t rank) { write_one_family(input, rank); });
}

}  // namespace korvath
