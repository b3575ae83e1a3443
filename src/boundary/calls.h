// The module's functions, one per engine entry. Each binds and converts its
// arguments, calls its engine and builds its result (vectorcall convention).
#pragma once

#include "boundary/py_ref.h"

namespace korvath::py {

#define KORVATH_DECLARE_CALL(name) \
    PyObject* call_##name(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, \
                          PyObject* kwnames)

KORVATH_DECLARE_CALL(simulate_profiles);
KORVATH_DECLARE_CALL(simulate_profiles_parallel);
KORVATH_DECLARE_CALL(simulate_log);
KORVATH_DECLARE_CALL(simulate_trace);
KORVATH_DECLARE_CALL(simulate_and_write);
KORVATH_DECLARE_CALL(simulate_nucleotide);
KORVATH_DECLARE_CALL(dated_joint_loglik);
KORVATH_DECLARE_CALL(undated_joint_loglik);
KORVATH_DECLARE_CALL(dated_family_loglik);
KORVATH_DECLARE_CALL(undated_family_loglik);
KORVATH_DECLARE_CALL(dated_clade_loglik);
KORVATH_DECLARE_CALL(undated_clade_loglik);
KORVATH_DECLARE_CALL(undated_clade_reconcile);
KORVATH_DECLARE_CALL(dated_clade_reconcile);

#undef KORVATH_DECLARE_CALL

// Raises NotImplementedError for a function whose engine is not built yet.
PyObject* not_implemented(const char* function_name);

}  // namespace korvath::py
