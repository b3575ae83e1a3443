#include "writer/family_files.h"

#include "support/faults.h"
#include "support/lending_pool.h"
#include "support/worker_pool.h"
#include "writer/event_table.h"
#include "writer/gene_tree.h"
#include "writer/output_files.h"
#include "writer/output_paths.h"
#include "writer/text_append.h"

#include <memory>
#include <vector>

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

// Working memory of one family worker, reused from family to family: the
// gathered rows, the text of each file and the formatting memos.
struct FamilyScratch {
    std::vector<EventRow> rows;
    TextBuffer text;
    SignificantCache dates{10};
    SignificantCache lengths{6};
};

void write_family(const FamilyFileInput& input, std::size_t rank, FamilyScratch& scratch) {
    const std::uint64_t family = checked_at(input.family_events.families, rank, "families");
    input.family_events.gather_rows(rank, input.log, scratch.rows);
    const std::span<const EventRow> rows = scratch.rows;
    TextBuffer& text = scratch.text;
    text.clear();
    event_table_text(rows, input.names, scratch.dates, text);
    write_whole_file(family_file(input.outdir, kEventsDirectory, family, "_events.tsv"),
                     text.view());

    const FamilyGenes genes(rows, input.family_events.extant_of(rank));
    if (!genes.has_root()) return;

    GeneTree tree = build_gene_tree(genes.root_gene(), genes, input.total_age, input.species);
    text.clear();
    write_newick(tree, input.names, scratch.lengths, text);
    text.append(";\n");
    write_whole_file(family_file(input.outdir, kTreesDirectory, family, "_complete.nwk"),
                     text.view());

    GeneTree extant = prune_to_extant(std::move(tree));
    if (extant.root == kNoNode) return;
    text.clear();
    write_newick(extant, input.names, scratch.lengths, text);
    text.append(";\n");
    write_whole_file(family_file(input.outdir, kTreesDirectory, family, "_extant.nwk"),
                     text.view());
}

}  // namespace

void write_one_family(const FamilyFileInput& input, std::size_t rank) {
    auto scratch = std::make_unique<FamilyScratch>();
    write_family(input, rank, *scratch);
}

void write_family_files(const FamilyFileInput& input) {
    const std::size_t n_families = input.family_events.families.size();
    if (n_families == 0) return;
    WorkerPool& workers = WorkerPool::shared();
    LendingPool<FamilyScratch> scratches(workers.size() + 1);  // the workers and the caller
    workers.run_indexed(n_families, [&](std::size_t rank) {
        const LendingPool<FamilyScratch>::Lease scratch = scratches.take();
        write_family(input, rank, *scratch);
    });
}

}  // namespace korvath
