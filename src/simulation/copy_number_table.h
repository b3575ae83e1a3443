// The copy-number table of a gene-family run: for every extant leaf (in the
// order the leaves were reached) the number of copies of each family it
// carries, as rows grouped by leaf and, within a leaf, by ascending family id.
// Same layout as the counts-only profiles (ProfileTable).
#pragma once

#include "simulation/event_log.h"
#include "simulation/profile_rows.h"

#include <vector>

namespace korvath {

// Builds the table and releases each leaf's copy list as soon as it is counted.
ProfileTable copy_number_table(std::vector<ExtantCopies>& extant_copies);

}  // namespace korvath
