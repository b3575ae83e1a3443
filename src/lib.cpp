// The korvath_core extension module: its definition and function table.
// Every function but `available` binds and converts its arguments in
// src/boundary/ and calls exactly one engine.
#include "boundary/calls.h"
#include "boundary/conversion.h"

namespace {

using korvath::py::PyRef;

// Docstrings: the text signature line, "--", a blank line, then the description.
constexpr const char k_available_doc[] =
    "available()\n"
    "--\n"
    "\n"
    "";

constexpr const char k_simulate_profiles_doc[] =
    "simulate_profiles(n_nodes, parent, time, extant_leaf, root, duplication, transfer, loss, origination, initial_size, cap, seed, replacement, distance_decay, allow_self)\n"
    "--\n"
    "\n"
    "";

constexpr const char k_simulate_profiles_parallel_doc[] =
    "simulate_profiles_parallel(n_nodes, parent, time, extant_leaf, root, duplication, transfer, loss, origination, initial_size, cap, seed, replacement, distance_decay, allow_self, n_copies, n_threads)\n"
    "--\n"
    "\n"
    "Poisson-thinned parallel counts-only engine: run `n_copies` independent copies of the engine,\n"
    "each with origination rate `o / n_copies` and a `1/n_copies` share of the founding families,\n"
    "then sum their profiles. Because gene families are independent and a Poisson process splits,\n"
    "this is distributionally identical to one full serial run (a different but equivalent\n"
    "realization). The copies run on a rayon pool of `n_threads`; the tree is shared read-only, and\n"
    "the GIL is released for the compute. Handles every transfer mode (the recipient choice depends\n"
    "only on the tree + donor, so it decomposes across families unchanged).";

constexpr const char k_simulate_log_doc[] =
    "simulate_log(n_nodes, parent, time, extant_leaf, root, duplication, transfer, loss, origination, initial_size, cap, seed, replacement, distance_decay, allow_self)\n"
    "--\n"
    "\n"
    "";

constexpr const char k_simulate_trace_doc[] =
    "simulate_trace(n_nodes, parent, time, extant_leaf, root, duplication, transfer, loss, origination, initial_size, cap, seed, replacement, distance_decay, allow_self)\n"
    "--\n"
    "\n"
    "The compact \"event trace\" engine: identical dynamics to `simulate_log`, but speciations\n"
    "neither re-mint gene ids nor emit records (see `LogEngine.record_speciation`). Returns only\n"
    "the O/D/T/L columns — the genealogy is recovered by replaying them against the species tree\n"
    "(Python side), so the log is ~6x smaller and the reminting/record work is skipped.";

constexpr const char k_simulate_and_write_doc[] =
    "simulate_and_write(n_nodes, parent, time, extant_leaf, root, names, duplication, transfer, loss, origination, initial_size, cap, seed, replacement, distance_decay, allow_self, total_age, outdir)\n"
    "--\n"
    "\n"
    "";

constexpr const char k_simulate_nucleotide_doc[] =
    "simulate_nucleotide(n_nodes, parent, time, extant_leaf, root, inversion, loss, duplication, transfer, transposition, origination, root_length, extension, initial_size, seed, replacement, distance_decay, allow_self)\n"
    "--\n"
    "\n"
    "";

constexpr const char k_dated_joint_loglik_doc[] =
    "dated_joint_loglik(sp_parent, sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, gt_offsets, gt_is_leaf, gt_left, gt_right, gt_species, dup, transfer, loss, n_steps, origination, n_extinct)\n"
    "--\n"
    "\n"
    "Joint dated log-likelihood of a batch of gene trees sharing one species tree and rates.\n"
    "\n"
    "The species tree is post-order flat arrays; gene trees are concatenated (CSR `gt_offsets`),\n"
    "each with local post-order `is_leaf`/`left`/`right` (child = local index, `-1` for a leaf)\n"
    "and `species` (the species-tree leaf-branch index for a tip, `-1` internal). `origination`\n"
    "is `0` (root) or `1` (uniform); `n_extinct` adds `k·log P(no survivor)`.";

constexpr const char k_undated_joint_loglik_doc[] =
    "undated_joint_loglik(sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, gt_offsets, gt_is_leaf, gt_left, gt_right, gt_species, dup, transfer, loss, transfers, origination, n_extinct)\n"
    "--\n"
    "\n"
    "Joint undated/reldated log-likelihood of a batch of gene trees. `transfers` is `0`\n"
    "(undated — any recipient) or `1` (reldated — only time-overlapping recipients).";

constexpr const char k_dated_family_loglik_doc[] =
    "dated_family_loglik(sp_parent, sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, gt_offsets, gt_is_leaf, gt_left, gt_right, gt_species, dup, transfer, loss, n_steps, origination)\n"
    "--\n"
    "\n"
    "Per-family dated log-likelihoods: extinction is built once and every gene tree in the batch\n"
    "is scored against it, returning one log-lik per tree (in input order) — for a per-family\n"
    "score table rather than the joint sum.";

constexpr const char k_undated_family_loglik_doc[] =
    "undated_family_loglik(sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, gt_offsets, gt_is_leaf, gt_left, gt_right, gt_species, dup, transfer, loss, transfers, origination)\n"
    "--\n"
    "\n"
    "Per-family undated/reldated log-likelihoods (extinction built once). `transfers` = 0\n"
    "(undated) or 1 (reldated).";

constexpr const char k_dated_clade_loglik_doc[] =
    "dated_clade_loglik(sp_parent, sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, cl_offsets, cl_is_leaf, cl_species, cl_split_offsets, split_left, split_right, split_weight, dup, transfer, loss, n_steps, origination)\n"
    "--\n"
    "\n"
    "Per-family dated log-likelihoods of gene families given as clade graphs (the arrays of\n"
    "`undated_clade_loglik`). A rooted tree (one split of weight 1 per internal node) scores as\n"
    "in `dated_family_loglik`; a clade with several splits is the weighted sum of its splits.";

constexpr const char k_undated_clade_loglik_doc[] =
    "undated_clade_loglik(sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, cl_offsets, cl_is_leaf, cl_species, cl_split_offsets, split_left, split_right, split_weight, dup, transfer, loss, transfers, origination)\n"
    "--\n"
    "\n"
    "Per-family undated/reldated log-likelihoods of gene families given as clade graphs:\n"
    "family k owns clades `cl_offsets[k]` .. `cl_offsets[k+1]`-1 (local post-order, the last\n"
    "one its root); clade i has the splits `cl_split_offsets[i]` .. `cl_split_offsets[i+1]`-1\n"
    "into two earlier clades (`split_left`, `split_right`, local indices) with weights\n"
    "`split_weight`. A rooted tree (one split of weight 1 per internal node) scores as in\n"
    "`undated_family_loglik`; an unrooted tree or a sample of trees adds splits.";

constexpr const char k_undated_clade_reconcile_doc[] =
    "undated_clade_reconcile(sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, cl_offsets, cl_is_leaf, cl_species, cl_split_offsets, split_left, split_right, split_weight, dup, transfer, loss, transfers, origination, samples, seed, first_family)\n"
    "--\n"
    "\n"
    "Sampled undated/reldated reconciliations of gene families given as clade graphs (the\n"
    "arrays of `undated_clade_loglik`): `samples` scenarios per family, drawn by stochastic\n"
    "backtracking with a generator seeded from `seed` and the family's number in the run\n"
    "(`first_family` + position in the call). Returns (log-likelihoods, events): events are 8\n"
    "little-endian bytes columns, one row per event: family (u64, position in the call), sample\n"
    "(u64), event (u8, \"ODTLS\"), branch, recipient, clade, left, right (i64).";

constexpr const char k_dated_clade_reconcile_doc[] =
    "dated_clade_reconcile(sp_parent, sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, cl_offsets, cl_is_leaf, cl_species, cl_split_offsets, split_left, split_right, split_weight, dup, transfer, loss, n_steps, origination, samples, seed, first_family)\n"
    "--\n"
    "\n"
    "Sampled dated reconciliations of gene families given as clade graphs (the arrays of\n"
    "`dated_clade_loglik`), drawn step by step through every gene node's history; the seeds and\n"
    "the result are as in `undated_clade_reconcile`.";

PyObject* available(PyObject*, PyObject*) { Py_RETURN_TRUE; }

template <auto Call>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Call));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// In the order the functions are added, which is the order of __all__.
PyMethodDef g_functions[] = {
    {"available", available, METH_NOARGS, k_available_doc},
    {"simulate_profiles", fastcall<korvath::py::call_simulate_profiles>(), kFastcall,
     k_simulate_profiles_doc},
    {"simulate_profiles_parallel", fastcall<korvath::py::call_simulate_profiles_parallel>(),
     kFastcall, k_simulate_profiles_parallel_doc},
    {"simulate_log", fastcall<korvath::py::call_simulate_log>(), kFastcall, k_simulate_log_doc},
    {"simulate_trace", fastcall<korvath::py::call_simulate_trace>(), kFastcall,
     k_simulate_trace_doc},
    {"simulate_and_write", fastcall<korvath::py::call_simulate_and_write>(), kFastcall,
     k_simulate_and_write_doc},
    {"simulate_nucleotide", fastcall<korvath::py::call_simulate_nucleotide>(), kFastcall,
     k_simulate_nucleotide_doc},
    {"dated_joint_loglik", fastcall<korvath::py::call_dated_joint_loglik>(), kFastcall,
     k_dated_joint_loglik_doc},
    {"undated_joint_loglik", fastcall<korvath::py::call_undated_joint_loglik>(), kFastcall,
     k_undated_joint_loglik_doc},
    {"dated_family_loglik", fastcall<korvath::py::call_dated_family_loglik>(), kFastcall,
     k_dated_family_loglik_doc},
    {"undated_family_loglik", fastcall<korvath::py::call_undated_family_loglik>(), kFastcall,
     k_undated_family_loglik_doc},
    {"dated_clade_loglik", fastcall<korvath::py::call_dated_clade_loglik>(), kFastcall,
     k_dated_clade_loglik_doc},
    {"undated_clade_loglik", fastcall<korvath::py::call_undated_clade_loglik>(), kFastcall,
     k_undated_clade_loglik_doc},
    {"undated_clade_reconcile", fastcall<korvath::py::call_undated_clade_reconcile>(), kFastcall,
     k_undated_clade_reconcile_doc},
    {"dated_clade_reconcile", fastcall<korvath::py::call_dated_clade_reconcile>(), kFastcall,
     k_dated_clade_reconcile_doc},
};

// The module's __all__ list, created when the attribute is missing.
PyRef all_list(PyObject* module) {
    PyRef existing = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (existing) return existing;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return existing;
    PyErr_Clear();
    PyRef created = PyRef::steal(PyList_New(0));
    if (!created || PyObject_SetAttrString(module, "__all__", created.get()) < 0) return PyRef();
    return created;
}

// Creates a built-in function bound to the module, lists it in __all__ and
// sets the attribute.
int add_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return -1;
    PyRef all = all_list(module);
    if (!all) return -1;
    PyRef name = PyRef::steal(PyUnicode_FromString(def->ml_name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    return PyObject_SetAttr(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
    for (PyMethodDef& def : g_functions) {
        if (add_function(module, &def) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "korvath_core",
    "",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

namespace korvath::py {

PyObject* not_implemented(const char* function_name) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", function_name);
    return nullptr;
}

}  // namespace korvath::py

PyMODINIT_FUNC PyInit_korvath_core(void) { return PyModuleDef_Init(&g_module); }
