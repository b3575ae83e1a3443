// simulate_nucleotide: segment genomes evolved along the species tree.
#include "boundary/calls.h"
#include "boundary/function_specs.h"
#include "boundary/simulator_args.h"

namespace korvath::py {

PyObject* call_simulate_nucleotide(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) {
    Arguments in(kSimulateNucleotideSpec, args, nargsf, kwnames);
    SpeciesTreeArrays tree = read_species_tree(in);
    double inversion = in.read_float();
    double loss = in.read_float();
    double duplication = in.read_float();
    double transfer = in.read_float();
    double transposition = in.read_float();
    double origination = in.read_float();
    std::int64_t root_length = in.read_int();
    double extension = in.read_float();
    std::uint64_t initial_size = in.read_uint();
    std::uint64_t seed = in.read_uint();
    TransferOptions options;
    options.replacement = in.read_float();
    options.distance_decay = in.read_float();
    options.allow_self = in.read_bool();
    if (!in.ok()) return nullptr;
    (void)inversion, (void)loss, (void)duplication, (void)transfer, (void)transposition;
    (void)origination, (void)root_length, (void)extension, (void)initial_size, (void)seed;
    return not_implemented("simulate_nucleotide");
}

}  // namespace korvath::py
