// simulate_and_write: one gene-family run written out as a folder of tables and trees.
#include "boundary/calls.h"
#include "boundary/interpreter_lock.h"
#include "boundary/parameter_lists.h"
#include "boundary/results.h"
#include "boundary/simulator_args.h"
#include "writer/name_check.h"
#include "writer/write_simulation.h"

namespace korvath::py {

PyObject* call_simulate_and_write(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    Arguments in(kSimulateAndWriteSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    std::vector<std::string> names = in.read_str_list();
    SimParams params = read_sim_params(in);
    double total_age = in.read_float();
    std::string outdir = in.read_str();
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        try {
            WriteCounts counts = without_interpreter_lock([&] {
                return simulate_and_write(std::move(tree), params, names, total_age, outdir);
            });
            PyRef families = int_from(counts.families_written);
            PyRef events = int_from(counts.events_logged);
            PyRef leaves = int_from(counts.extant_leaves);
            return tuple_of({&families, &events, &leaves}).release();
        } catch (const InvalidName& e) {
            // A name that would corrupt the output is the caller's value error.
            PyErr_SetString(PyExc_ValueError, e.what());
            return nullptr;
        }
    });
}

}  // namespace korvath::py
