// simulate_and_write: one gene-family run written out as a folder of tables and trees.
#include "boundary/calls.h"
#include "boundary/function_specs.h"
#include "boundary/simulator_args.h"

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
    (void)total_age;
    return not_implemented("simulate_and_write");
}

}  // namespace korvath::py
