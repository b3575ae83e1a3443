// Readers of the argument groups that the clade-graph functions share.
#pragma once

#include "boundary/arguments.h"
#include "reconciliation/clade_graph.h"
#include "reconciliation/likelihood_drivers.h"
#include "reconciliation/likelihood_input.h"

namespace korvath::py {

namespace rc = korvath::reconciliation;

// The species arrays after `sp_parent`, in parameter order.
inline void read_species(Arguments& in, rc::FlatSpeciesTree& sp) {
    sp.sp_left = in.read_int_list();
    sp.sp_right = in.read_int_list();
    sp.sp_is_leaf = in.read_bool_list();
    sp.sp_time = in.read_float_list();
    sp.sp_parent_time = in.read_float_list();
    sp.sp_root = in.read_uint();
}

// The clade-graph arrays of a call, in parameter order.
inline void read_clades(Arguments& in, rc::CladeBatch& batch) {
    batch.cl_offsets = in.read_uint_list();
    batch.cl_is_leaf = in.read_bool_list();
    batch.cl_species = in.read_int_list();
    batch.cl_split_offsets = in.read_uint_list();
    batch.split_left = in.read_int_list();
    batch.split_right = in.read_int_list();
    batch.split_weight = in.read_float_list();
}

inline rc::DtlRates read_rates(Arguments& in) {
    const double dup = in.read_float();
    const double transfer = in.read_float();
    const double loss = in.read_float();
    return {dup, transfer, loss};
}

// The parameters of dated_clade_loglik, in order (also the first ones of
// dated_clade_reconcile).
inline rc::DatedCladeCall read_dated_clade_call(Arguments& in) {
    rc::DatedCladeCall call;
    call.species.sp_parent = in.read_int_list();
    read_species(in, call.species);
    read_clades(in, call.batch);
    call.rates = read_rates(in);
    call.n_steps = in.read_uint();
    call.origination = in.read_u8();
    return call;
}

// The parameters of undated_clade_loglik, in order.
inline rc::UndatedCladeCall read_undated_clade_call(Arguments& in) {
    rc::UndatedCladeCall call;
    read_species(in, call.species);
    read_clades(in, call.batch);
    call.rates = read_rates(in);
    call.transfers = in.read_u8();
    call.origination = in.read_u8();
    return call;
}

}  // namespace korvath::py
