#include "writer/write_simulation.h"

#include "simulation/log_engine.h"
#include "support/faults.h"
#include "writer/family_files.h"
#include "writer/name_check.h"
#include "writer/output_files.h"
#include "writer/output_paths.h"
#include "writer/summary_tables.h"
#include "writer/write_index.h"

namespace korvath {

namespace {

void check_log_columns(const EventLog& log) {
    if (!log.columns_agree()) fault("event log columns differ in length");
}

}  // namespace

WriteCounts write_simulation(const EventLog& log, const std::vector<ExtantCopies>& extant,
                             const std::vector<std::string>& names, double total_age,
                             const std::string& outdir, const SpeciesTree* species) {
    check_log_columns(log);
    check_no_nul(names, outdir);
    check_output_names(log, extant, names);

    create_directory_all(join_path(outdir, kEventsDirectory));
    create_directory_all(join_path(outdir, kTreesDirectory));

    WriteIndex index;
    index.leaves = index_leaves(extant, names);
    index.family_events = group_by_family(log, extant);
    total_families(index.leaves, index.family_totals, index.row_families);

    write_family_files(
        FamilyFileInput{log, index.family_events, names, outdir, total_age, species});

    write_whole_file(join_path(outdir, "Transfers.tsv"), transfers_text(log, names));
    write_whole_file(join_path(outdir, "Gene_family_summary.tsv"),
                     family_summary_text(log, index, names));
    write_wide_tables(outdir, index, names);

    return WriteCounts{index.family_events.families.size(), log.size(), extant.size()};
}

WriteCounts simulate_and_write(SpeciesTreeArrays tree, const SimParams& params,
                               const std::vector<std::string>& names, double total_age,
                               const std::string& outdir) {
    // A NUL would cut the path short where the file system reads it: refuse
    // it before a whole run is spent.
    check_no_nul(names, outdir);
    // The writer's own copy of the tree, built (and so validated) before the
    // engine makes its first event.
    const SpeciesTree species(tree);
    LogEngineResult run =
        run_log_engine(std::move(tree), params, LogEngineOptions{.record_speciation = true});
    return write_simulation(run.log, run.extant_copies, names, total_age, outdir, &species);
}

}  // namespace korvath
