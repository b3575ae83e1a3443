// The per-family files: each family's event table, and for a family with an
// origin its complete gene tree and (when a copy survives) its extant tree.
#pragma once

#include "simulation/dated_tree.h"
#include "writer/write_index.h"

#include <string>
#include <vector>

namespace korvath {

struct FamilyFileInput {
    const EventLog& log;
    const FamilyEvents& family_events;
    const std::vector<std::string>& names;
    const std::string& outdir;
    double total_age;
    // The run's species tree; when given, copies that die out with an
    // extinct species end at its date in the complete gene trees.
    const SpeciesTree* species = nullptr;
};

// Writes the files of the family at `rank` of family_events.families, in the
// order event table, complete tree, extant tree. Throws IoError on the first
// failing file (later files of the family are not written).
void write_one_family(const FamilyFileInput& input, std::size_t rank);

// Writes every family's files on the shared worker pool. After a failure no
// further family starts; the first error is rethrown once all workers stop.
void write_family_files(const FamilyFileInput& input);

}  // namespace korvath
