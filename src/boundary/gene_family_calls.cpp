// simulate_log and simulate_trace: the gene-family engine and its two results.
#include "boundary/calls.h"
#include "boundary/interpreter_lock.h"
#include "boundary/parameter_lists.h"
#include "boundary/results.h"
#include "boundary/simulator_args.h"
#include "simulation/copy_number_table.h"
#include "simulation/log_engine.h"
#include "support/faults.h"

#include <cstring>
#include <limits>
#include <type_traits>

namespace korvath::py {
namespace {

// Converts `values` with `convert` and frees the engine buffer at once.
template <class T, class Convert>
PyRef take_column(std::vector<T>& values, Convert convert) {
    PyRef object = convert(values);
    release(values);
    return object;
}

// Pauses the cyclic garbage collector while a result is built: the result
// holds millions of fresh containers, and each collection pass would walk the
// large lists built so far. Restores the previous state on every exit path.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

// Int objects for the values 0 .. size-1, created on first use and shared by
// every list element with that value (branch and family ids repeat a lot).
class SharedInts {
public:
    explicit SharedInts(std::size_t size) : objects_(size) {}

    // A new reference to the int `value`, or null with a Python error set.
    PyObject* get(std::int64_t value) {
        if (value < 0 || static_cast<std::uint64_t>(value) >= objects_.size()) {
            return PyLong_FromLongLong(value);
        }
        PyRef& slot = objects_[static_cast<std::size_t>(value)];
        if (!slot) slot = PyRef::steal(PyLong_FromLongLong(value));
        if (!slot) return nullptr;
        Py_INCREF(slot.get());
        return slot.get();
    }

private:
    std::vector<PyRef> objects_;
};

template <class T>
PyRef shared_int_list(std::vector<T>& values, SharedInts& shared) {
    PyRef list = list_with(values, [&](T v) { return shared.get(static_cast<std::int64_t>(v)); });
    release(values);
    return list;
}

// Event times come in runs of one value (the speciation rows of a node share
// its date): equal neighbours share one float object.
PyRef time_list(std::vector<double>& values) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    PyObject* previous = nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item;
        if (previous != nullptr && std::memcmp(&values[i], &values[i - 1], sizeof(double)) == 0) {
            item = previous;
            Py_INCREF(item);
        } else {
            item = PyFloat_FromDouble(values[i]);
            if (item == nullptr) throw PythonErrorSet{};
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        previous = item;
    }
    release(values);
    return list;
}

// A new int for an id column value. Values below 2^63 go through the signed
// constructor, which has a fast path for values below 2^30 (most ids).
template <class T>
PyObject* fresh_int(T value) {
    if constexpr (std::is_signed_v<T>) {
        return PyLong_FromLongLong(value);
    } else {
        if (value <= static_cast<T>(std::numeric_limits<std::int64_t>::max())) {
            return PyLong_FromLongLong(static_cast<std::int64_t>(value));
        }
        return PyLong_FromUnsignedLongLong(value);
    }
}

template <class T>
PyRef fresh_int_list(std::vector<T>& values) {
    PyRef list = list_with(values, [](T v) { return fresh_int(v); });
    release(values);
    return list;
}

// The nine event columns: kind as bytes, then eight lists, in column order.
// The log stores seven columns; donor and child2 are derived from kind and
// branch and from child1, so each stored column is freed once the lists that
// read it exist.
PyRef event_columns(EventLog& log, SharedInts& branches, SharedInts& families) {
    if (!log.columns_agree()) fault("event log columns differ in length");
    const std::size_t n = log.size();
    PyRef kind = bytes_le(log.kind);
    PyRef branch = list_with(log.branch, [&](std::uint32_t v) { return branches.get(v); });
    PyRef donor = indexed_list(n, [&](std::size_t e) { return branches.get(log.donor(e)); });
    release(log.kind);
    release(log.branch);
    PyRef time = time_list(log.time);
    PyRef recipient =
        indexed_list(n, [&](std::size_t e) { return branches.get(log.recipient(e)); });
    release(log.recipient_node);
    PyRef family = shared_int_list(log.family, families);
    PyRef gene = fresh_int_list(log.gene);
    PyRef child1 = list_with(log.child1, [](std::int64_t v) { return fresh_int(v); });
    PyRef child2 = indexed_list(n, [&](std::size_t e) { return fresh_int(log.child2(e)); });
    release(log.child1);
    return tuple_of({&kind, &branch, &time, &donor, &recipient, &family, &gene, &child1, &child2});
}

// [(node, [(gene, family), ...]), ...] in the order the leaves were reached.
PyRef leaf_copies(std::vector<ExtantCopies>& extant, SharedInts& families) {
    PyRef leaves = checked(PyList_New(static_cast<Py_ssize_t>(extant.size())));
    for (std::size_t i = 0; i < extant.size(); ++i) {
        CopyList& copies = extant[i].copies;
        PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(copies.size())));
        for (std::size_t j = 0; j < copies.size(); ++j) {
            PyRef gene = checked(fresh_int(copies[j].gene));
            PyRef family = checked(families.get(static_cast<std::int64_t>(copies[j].family)));
            PyObject* pair = tuple_of({&gene, &family}).release();
            // A tuple of two ints can never be part of a cycle: keep it out of
            // the collector's lists, as the interpreter itself does for such
            // tuples once it has seen them.
            PyObject_GC_UnTrack(pair);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), pair);
        }
        release(copies);
        PyRef node = int_from(extant[i].node);
        PyList_SET_ITEM(leaves.get(), static_cast<Py_ssize_t>(i), tuple_of({&node, &list}).release());
    }
    release(extant);
    return leaves;
}

// (extant leaf nodes u32, leaf ordinal u32, family u64, count u32) as little-endian bytes.
PyRef copy_number_bytes(ProfileTable& table) {
    PyRef extant = take_column(table.extant_leaves, [](const auto& v) { return bytes_le(v); });
    PyRef leaf = take_column(table.leaf, [](const auto& v) { return bytes_le(v); });
    PyRef family = take_column(table.family, [](const auto& v) { return bytes_le(v); });
    PyRef count = take_column(table.count, [](const auto& v) { return bytes_le(v); });
    return tuple_of({&extant, &leaf, &family, &count});
}

}  // namespace

PyObject* call_simulate_log(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    Arguments in(kSimulateLogSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    SimParams params = read_sim_params(in);
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        LogEngineResult result = without_interpreter_lock([&] {
            return run_log_engine(std::move(tree), params,
                                  LogEngineOptions{.record_speciation = true});
        });
        CollectorPause pause;
        SharedInts branches(result.n_nodes);
        SharedInts families(static_cast<std::size_t>(result.n_families));
        // The leaves first: their lists, and with them the whole arena of
        // copy lists, are freed before the columns are converted.
        PyRef leaves = leaf_copies(result.extant_copies, families);
        result.copy_storage.reset();
        PyRef columns = event_columns(result.log, branches, families);
        return tuple_of({&columns, &leaves}).release();
    });
}

PyObject* call_simulate_trace(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    Arguments in(kSimulateTraceSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    SimParams params = read_sim_params(in);
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        LogEngineResult result;
        ProfileTable table = without_interpreter_lock([&] {
            result = run_log_engine(std::move(tree), params,
                                    LogEngineOptions{.record_speciation = false});
            ProfileTable counts = copy_number_table(result.extant_copies);
            release(result.extant_copies);
            result.copy_storage.reset();  // every copy list is gone: free the arena
            return counts;
        });
        CollectorPause pause;
        SharedInts branches(result.n_nodes);
        SharedInts families(static_cast<std::size_t>(result.n_families));
        // The table's buffers are packed first so that they are freed before
        // the columns, the bulk of the result, are converted.
        PyRef profile = copy_number_bytes(table);
        PyRef columns = event_columns(result.log, branches, families);
        return tuple_of({&columns, &profile}).release();
    });
}

}  // namespace korvath::py
