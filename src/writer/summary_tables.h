// The four tables in the output directory: every transfer, one summary row
// per family, and the copy-number and presence tables (family x extant leaf).
#pragma once

#include "simulation/event_log.h"
#include "writer/write_index.h"

#include <string>
#include <vector>

namespace korvath {

inline constexpr char kTransfersHeader[] =
    "time\tfamily\tdonor_branch\trecipient_branch\tparent_id\tdonor_copy_id\ttransfer_id\n";
inline constexpr char kFamilySummaryHeader[] =
    "family\torigin_time\torigin_branch\tn_dup\tn_transfer\tn_loss\tn_speciation\t"
    "extant_copies\tspecies_present\n";

// Rows of the profile and presence tables built per block of families.
inline constexpr std::size_t kWideTableBlock = 512;
inline constexpr std::size_t kWideTableBuffer = 8192;

std::string transfers_text(const EventLog& log, const std::vector<std::string>& names);

std::string family_summary_text(const EventLog& log, const WriteIndex& index,
                                const std::vector<std::string>& names);

// The header line shared by "Profiles.tsv" and "Presence.tsv".
std::string wide_table_header(const LeafIndex& leaves, const std::vector<std::string>& names);

// Streams "Profiles.tsv" and "Presence.tsv" into `outdir`, building the rows
// of each block of families on the shared worker pool.
void write_wide_tables(const std::string& outdir, const WriteIndex& index,
                       const std::vector<std::string>& names);

}  // namespace korvath
