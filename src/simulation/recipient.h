// Choosing the recipient branch of a horizontal transfer among the active
// branches at time t. The choice depends only on the tree, the donor, t, the
// active list (in its order) and the transfer options, never on gene content.
//
//   RecipientScratch scratch;   // reusable buffers, one per engine run
//   std::uint32_t r = choose_recipient(rng, active, donor, tree, t, options, scratch);
//   if (r == kNoRecipient) ...  // the transfer does not happen
//
// Draws at most once: the uniform paths use one next_u64, the weighted path
// (distance_decay >= 0 or NaN) one next_f64; a result of kNoRecipient reached
// before the draw consumes nothing.
#pragma once

#include "simulation/active_branches.h"
#include "simulation/rng.h"
#include "simulation/sim_params.h"
#include "simulation/dated_tree.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace korvath {

inline constexpr std::uint32_t kNoRecipient = std::numeric_limits<std::uint32_t>::max();

// Buffers of the weighted choice, kept between calls so that a call allocates
// nothing once warm. Holds no state that affects the choice.
struct RecipientScratch {
    std::vector<std::uint32_t> ancestor_mark;  // per node: stamp of the call that marked it
    std::uint32_t stamp = 0;
    std::vector<double> distance;
    std::vector<double> weight;
};

std::uint32_t choose_recipient(Rng& rng, const ActiveBranches& active, std::uint32_t donor,
                               const SpeciesTree& tree, double t, const TransferOptions& options,
                               RecipientScratch& scratch);

}  // namespace korvath
