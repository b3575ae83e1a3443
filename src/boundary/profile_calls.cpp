// simulate_profiles and simulate_profiles_parallel: the counts-only engine.
#include "boundary/calls.h"
#include "boundary/interpreter_lock.h"
#include "boundary/parameter_lists.h"
#include "boundary/results.h"
#include "boundary/simulator_args.h"
#include "simulation/counts_engine.h"
#include "simulation/parallel_profiles.h"
#include "support/faults.h"

#include <algorithm>

namespace korvath::py {

namespace {

// One bytes object holding column(part) of every part in order, each part's
// values written by write(k, values, out); each part's column is freed once
// copied.
template <class T, class Column, class Write>
PyRef joined_bytes_le(ProfileParts& parts, Column column, Write write) {
    char* data = nullptr;
    PyRef out = uninitialized_bytes(parts.n_rows * sizeof(T), data);
    std::size_t written = 0;
    for (std::size_t k = 0; k < parts.parts.size(); ++k) {
        std::vector<T>& values = column(parts.parts[k]);
        if (written + values.size() > parts.n_rows) fault("profile parts hold more rows than counted");
        write(k, values, data + written * sizeof(T));
        written += values.size();
        release(values);
    }
    if (written != parts.n_rows) fault("profile parts hold fewer rows than counted");
    return out;
}

// (extant leaf nodes u32, leaf u32, family u64, count u32) as little-endian
// bytes, from the rows of one run or of a split run's copies. The parts are
// not merged into one table first: each column is copied once, straight into
// its bytes.
PyObject* profile_tuple(ProfileParts& parts) {
    PyRef extant = bytes_le(parts.extant_leaves);
    release(parts.extant_leaves);
    PyRef leaf = joined_bytes_le<std::uint32_t>(
        parts, [](ProfileRows& part) -> auto& { return part.leaf; },
        [](std::size_t, const auto& values, char* out) { write_le(out, values); });
    PyRef family = joined_bytes_le<std::uint64_t>(
        parts, [](ProfileRows& part) -> auto& { return part.family; },
        [&](std::size_t k, const std::vector<std::uint64_t>& values, char* out) {
            const std::uint64_t offset = parts.family_offsets.at(k);
            std::uint64_t largest = 0;
            for (std::size_t i = 0; i < values.size(); ++i) {
                largest = std::max(largest, values[i]);
                write_le(out + i * sizeof(std::uint64_t), values[i] + offset);
            }
            check_family_ids(parts.parts[k], largest);
        });
    PyRef count = joined_bytes_le<std::uint32_t>(
        parts, [](ProfileRows& part) -> auto& { return part.count; },
        [](std::size_t, const auto& values, char* out) { write_le(out, values); });
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
        ProfileParts parts =
            without_interpreter_lock([&] { return simulate_profile_parts(std::move(tree), params); });
        return profile_tuple(parts);
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
        ProfileParts parts = without_interpreter_lock(
            [&] { return simulate_profile_parts(std::move(tree), params, n_copies, n_threads); });
        return profile_tuple(parts);
    });
}

}  // namespace korvath::py
