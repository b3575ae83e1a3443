// Reading the species tree and the gene-family rates shared by the simulators.
#pragma once

#include "boundary/arguments.h"
#include "simulation/sim_params.h"
#include "simulation/dated_tree_arrays.h"

namespace korvath::py {

inline SpeciesTreeArrays read_species_tree(Arguments& in) {
    SpeciesTreeArrays tree;
    tree.n_nodes = in.read_uint();
    tree.parent = in.read_int_list();
    tree.time = in.read_float_list();
    tree.extant_leaf = in.read_bool_list();
    tree.root = in.read_uint();
    return tree;
}

// duplication, transfer, loss, origination, initial_size, cap, seed,
// replacement, distance_decay, allow_self, in that order.
inline SimParams read_sim_params(Arguments& in) {
    SimParams params;
    params.duplication = in.read_float();
    params.transfer = in.read_float();
    params.loss = in.read_float();
    params.origination = in.read_float();
    params.initial_size = in.read_uint();
    params.cap = in.read_int();
    params.seed = in.read_uint();
    params.options.replacement = in.read_float();
    params.options.distance_decay = in.read_float();
    params.options.allow_self = in.read_bool();
    return params;
}

}  // namespace korvath::py
