// In-memory gene trees: the Newick text of every family's complete or
// extant gene tree, made by the writer's own code (grouping by family,
// FamilyGenes, build_gene_tree, prune_to_extant, write_newick), so that the
// text is by construction what simulate_and_write puts in its files.
#pragma once

#include "simulation/dated_tree.h"
#include "simulation/event_log.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvath::native {

// Calls `emit(family id, text)` for every family, in ascending family id:
// families with an origination row (complete trees), or those of them with
// at least one extant copy (extant trees). The text ends with ";\n" as in
// the files. Throws InvalidName for a name that would break the trees, and
// InternalFault for an inconsistent log. `species` is the run's species tree:
// a copy that dies out with an extinct species ends at that species' date, as
// in the written trees.
void gene_tree_texts(const EventLog& log, const std::vector<ExtantCopies>& extant,
                     const std::vector<std::string>& names, const SpeciesTree& species,
                     double total_age, bool extant_only,
                     const std::function<void(std::uint64_t, std::string_view)>& emit);

}  // namespace korvath::native
