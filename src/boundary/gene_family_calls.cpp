// simulate_log and simulate_trace: the gene-family engine and its two results.
#include "boundary/calls.h"
#include "boundary/function_specs.h"
#include "boundary/simulator_args.h"

namespace korvath::py {

PyObject* call_simulate_log(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    Arguments in(kSimulateLogSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    SimParams params = read_sim_params(in);
    if (!in.ok()) return nullptr;
    return not_implemented("simulate_log");
}

PyObject* call_simulate_trace(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    Arguments in(kSimulateTraceSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    SimParams params = read_sim_params(in);
    if (!in.ok()) return nullptr;
    return not_implemented("simulate_trace");
}

}  // namespace korvath::py
