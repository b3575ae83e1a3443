#include "writer/family_files.h"

#include "support/faults.h"
#include "support/worker_pool.h"
#include "writer/event_table.h"
#include "writer/gene_tree.h"
#include "writer/output_files.h"
#include "writer/output_paths.h"
#include "writer/text_append.h"

#include <memory>
#include <mutex>
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

// Scratch sets handed out to the workers of one run: a worker takes one for
// a family and gives it back when the family is done (or has failed).
class ScratchPool {
public:
    explicit ScratchPool(std::size_t max_idle) { idle_.reserve(max_idle); }

    class Lease {
    public:
        Lease(ScratchPool& pool, std::unique_ptr<FamilyScratch> scratch)
            : pool_(pool), scratch_(std::move(scratch)) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() { pool_.give_back(std::move(scratch_)); }
        FamilyScratch& operator*() const { return *scratch_; }

    private:
        ScratchPool& pool_;
        std::unique_ptr<FamilyScratch> scratch_;
    };

    Lease take() {
        std::unique_ptr<FamilyScratch> scratch;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                scratch = std::move(idle_.back());
                idle_.pop_back();
            }
        }
        if (!scratch) scratch = std::make_unique<FamilyScratch>();
        return Lease(*this, std::move(scratch));
    }

private:
    void give_back(std::unique_ptr<FamilyScratch> scratch) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        // Room was reserved when the pool was made, so this cannot throw.
        if (idle_.size() < idle_.capacity()) idle_.push_back(std::move(scratch));
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<FamilyScratch>> idle_;
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

    GeneTree tree = build_gene_tree(genes.root_gene(), genes, input.total_age);
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
    ScratchPool scratches(workers.size() + 1);  // the workers and the calling thread
    workers.run_indexed(n_families, [&](std::size_t rank) {
        ScratchPool::Lease scratch = scratches.take();
        write_family(input, rank, *scratch);
    });
}

}  // namespace korvath
