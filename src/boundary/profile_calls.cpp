// simulate_profiles and simulate_profiles_parallel: the counts-only engine.
#include "boundary/calls.h"
#include "boundary/parameter_lists.h"
#include "boundary/results.h"
#include "boundary/simulator_args.h"
#include "simulation/counts_engine.h"
#include "simulation/parallel_profiles.h"

namespace korvath::py {

namespace {

// (extant leaf nodes u32, leaf u32, family u64, count u32) as little-endian bytes.
PyObject* profile_tuple(ProfileTable& table) {
    PyRef extant = bytes_le(table.extant_leaves);
    release(table.extant_leaves);
    PyRef leaf = bytes_le(table.leaf);
    release(table.leaf);
    PyRef family = bytes_le(table.family);
    release(table.family);
    PyRef count = bytes_le(table.count);
    release(table.count);
    return tuple_of({&extant, &leaf, &family, &count}).release();
}

}  // namespace

PyObject* call_simulate_profiles(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
    Arguments in(kSimulateProfilesSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    SimParams params = read_sim_params(in);
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        ProfileTable table = simulate_profiles(std::move(tree), params);
        return profile_tuple(table);
    });
}

PyObject* call_simulate_profiles_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                          PyObject* kwnames) {
    Arguments in(kSimulateProfilesParallelSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    SimParams params = read_sim_params(in);
    std::uint64_t n_copies = in.read_uint();
    std::uint64_t n_threads = in.read_uint();
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        ProfileTable table =
            simulate_profiles_parallel(std::move(tree), params, n_copies, n_threads);
        return profile_tuple(table);
    });
}

}  // namespace korvath::py
