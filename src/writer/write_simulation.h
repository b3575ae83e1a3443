// simulate_and_write: one gene-family run in record mode, written out as a
// folder of tables, per-family event files and gene trees.
#pragma once

#include "simulation/event_log.h"
#include "simulation/sim_params.h"
#include "simulation/dated_tree.h"
#include "simulation/dated_tree_arrays.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvath {

struct WriteCounts {
    std::uint64_t families_written = 0;
    std::uint64_t events_logged = 0;
    std::uint64_t extant_leaves = 0;
};

// Writes the output folder for an engine result. Order: name check, the two
// directories, the bookkeeping, the per-family files (parallel), then
// "Transfers.tsv", "Gene_family_summary.tsv", "Profiles.tsv" and
// "Presence.tsv". Throws InvalidName before anything is created, IoError on
// a file-system failure (work done before it stays on disk), InternalFault
// for inconsistent data. `species`, the run's tree, places the copies that
// die out with an extinct species (see build_gene_tree); without it they
// reach `total_age`.
WriteCounts write_simulation(const EventLog& log, const std::vector<ExtantCopies>& extant,
                             const std::vector<std::string>& names, double total_age,
                             const std::string& outdir, const SpeciesTree* species = nullptr);

// Checks `outdir` and every name for a NUL character and builds the species
// tree (which validates it) before the engine runs; then runs the gene-family
// engine with speciation records and writes its result. Nothing is created
// for a NUL (InvalidName) or a malformed tree (InternalFault).
WriteCounts simulate_and_write(SpeciesTreeArrays tree, const SimParams& params,
                               const std::vector<std::string>& names, double total_age,
                               const std::string& outdir);

}  // namespace korvath
