// simulate_nucleotide: segment genomes evolved along the species tree.
#include "boundary/calls.h"
#include "boundary/interpreter_lock.h"
#include "boundary/parameter_lists.h"
#include "boundary/results.h"
#include "boundary/simulator_args.h"
#include "simulation/nucleotide_engine.h"

namespace korvath::py {

namespace {

// One new int in slot k of a fresh tuple (which owns what it holds so far).
void set_int(PyObject* tuple, Py_ssize_t k, PyObject* value) {
    if (value == nullptr) throw PythonErrorSet{};
    PyTuple_SET_ITEM(tuple, k, value);
}

// (element, start, end, strand) for every segment, strand as 1 or -1. The
// tuples hold only ints, so they are taken off the cycle collector's list
// at once (as the interpreter itself would do at its next collection): a
// result of a million segments then costs the collector nothing.
PyRef segment_list(const std::vector<Segment>& segments) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(segments.size())));
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        PyRef item = checked(PyTuple_New(4));
        set_int(item.get(), 0, PyLong_FromUnsignedLong(s.element));
        set_int(item.get(), 1, PyLong_FromLongLong(s.start));
        set_int(item.get(), 2, PyLong_FromLongLong(s.end));
        set_int(item.get(), 3, PyLong_FromLong(s.strand));
        PyObject_GC_UnTrack(item.get());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

// [(leaf, [(element, start, end, strand), ...]), ...] in the engine's order.
PyRef genome_samples(std::vector<GenomeSample>& samples) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(samples.size())));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        PyRef node = int_from(std::uint64_t{samples[i].node});
        PyRef segments = segment_list(samples[i].segments);
        release(samples[i].segments);
        PyRef item = tuple_of({&node, &segments});
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

}  // namespace

PyObject* call_simulate_nucleotide(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) {
    Arguments in(kSimulateNucleotideSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    NucleotideParams params;
    params.inversion = in.read_float();
    params.loss = in.read_float();
    params.duplication = in.read_float();
    params.transfer = in.read_float();
    params.transposition = in.read_float();
    params.origination = in.read_float();
    params.root_length = in.read_int();
    params.extension = in.read_float();
    params.initial_size = in.read_uint();
    params.seed = in.read_uint();
    params.options.replacement = in.read_float();
    params.options.distance_decay = in.read_float();
    params.options.allow_self = in.read_bool();
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<GenomeSample> samples =
            without_interpreter_lock([&] { return simulate_nucleotide(std::move(tree), params); });
        return genome_samples(samples).release();
    });
}

}  // namespace korvath::py
