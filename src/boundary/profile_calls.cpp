// simulate_profiles and simulate_profiles_parallel: the counts-only engine.
#include "boundary/calls.h"
#include "boundary/parameter_lists.h"
#include "boundary/results.h"
#include "boundary/simulator_args.h"
#include "simulation/counts_engine.h"
#include "simulation/parallel_profiles.h"
#include "support/faults.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

namespace korvath::py {

namespace {

// Value v as the little-endian bytes of a T at `out`.
template <class T>
void store_le(char* out, T v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &v, sizeof(T));
    } else {
        const auto u = static_cast<std::make_unsigned_t<T>>(v);
        for (std::size_t b = 0; b < sizeof(T); ++b) out[b] = static_cast<char>((u >> (8 * b)) & 0xFF);
    }
}

// One bytes object holding column(part) of every part in order, each part's
// values shifted by shift(k); each part's column is freed once copied.
template <class T, class Column, class Shift>
PyRef joined_bytes_le(ProfileParts& parts, Column column, Shift shift) {
    PyRef out = checked(PyBytes_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(parts.n_rows * sizeof(T))));
    char* data = PyBytes_AS_STRING(out.get());
    std::size_t written = 0;
    for (std::size_t k = 0; k < parts.parts.size(); ++k) {
        std::vector<T>& values = column(parts.parts[k]);
        if (written + values.size() > parts.n_rows) fault("profile parts hold more rows than counted");
        shift(k, values, data + written * sizeof(T));
        written += values.size();
        release(values);
    }
    if (written != parts.n_rows) fault("profile parts hold fewer rows than counted");
    return out;
}

// Copies `values` unchanged.
template <class T>
void copy_le(const std::vector<T>& values, char* out) {
    if constexpr (std::endian::native == std::endian::little) {
        if (!values.empty()) std::memcpy(out, values.data(), values.size() * sizeof(T));
    } else {
        for (std::size_t i = 0; i < values.size(); ++i) store_le(out + i * sizeof(T), values[i]);
    }
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
        [](std::size_t, const auto& values, char* out) { copy_le(values, out); });
    PyRef family = joined_bytes_le<std::uint64_t>(
        parts, [](ProfileRows& part) -> auto& { return part.family; },
        [&](std::size_t k, const std::vector<std::uint64_t>& values, char* out) {
            const std::uint64_t offset = parts.family_offsets.at(k);
            std::uint64_t largest = 0;
            for (std::size_t i = 0; i < values.size(); ++i) {
                largest = std::max(largest, values[i]);
                store_le(out + i * sizeof(std::uint64_t), values[i] + offset);
            }
            check_family_ids(parts.parts[k], largest);
        });
    PyRef count = joined_bytes_le<std::uint32_t>(
        parts, [](ProfileRows& part) -> auto& { return part.count; },
        [](std::size_t, const auto& values, char* out) { copy_le(values, out); });
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
        ProfileParts parts = simulate_profile_parts(std::move(tree), params);
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
        ProfileParts parts = simulate_profile_parts(std::move(tree), params, n_copies, n_threads);
        return profile_tuple(parts);
    });
}

}  // namespace korvath::py
