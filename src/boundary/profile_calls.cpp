// simulate_profiles and simulate_profiles_parallel: the counts-only engine.
#include "boundary/calls.h"
#include "boundary/function_specs.h"
#include "boundary/simulator_args.h"

namespace korvath::py {

PyObject* call_simulate_profiles(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
    Arguments in(kSimulateProfilesSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    SimParams params = read_sim_params(in);
    if (!in.ok()) return nullptr;
    return not_implemented("simulate_profiles");
}

PyObject* call_simulate_profiles_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                          PyObject* kwnames) {
    Arguments in(kSimulateProfilesParallelSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    SimParams params = read_sim_params(in);
    std::uint64_t n_copies = in.read_uint();
    std::uint64_t n_threads = in.read_uint();
    if (!in.ok()) return nullptr;
    (void)n_copies;
    (void)n_threads;
    return not_implemented("simulate_profiles_parallel");
}

}  // namespace korvath::py
