// Undated and reldated gene-tree likelihood: per gene node, one probability
// per species branch, the fixed point of the same per-event equations as the
// extinction, with a constant source term from the node's children.
#pragma once

#include "reconciliation/likelihood_input.h"
#include "reconciliation/undated_model.h"

#include <cstdint>

namespace korvath::reconciliation {

// ln L of the tree; origination 1 averages over all branches, any other value
// starts at the species root. -inf when L <= 0.
double undated_tree_loglik(const UndatedExtinction& model, const GeneTree& tree,
                           std::uint8_t origination);

}  // namespace korvath::reconciliation
