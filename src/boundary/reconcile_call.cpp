// Sampled reconciliations of clade-graph families.
#include "boundary/arguments.h"
#include "boundary/calls.h"
#include "boundary/errors.h"
#include "boundary/interpreter_lock.h"
#include "boundary/likelihood_args.h"
#include "boundary/parameter_lists.h"
#include "boundary/results.h"
#include "reconciliation/reconcile_driver.h"

#include <utility>

namespace korvath::py {

namespace {

// (log-likelihoods, events): the events as eight little-endian bytes columns,
// each vector freed once its bytes are made.
PyObject* reconcile_result(rc::ReconcileResult& result) {
    PyRef loglik = list_from(result.loglik);
    rc::SampledEvents& e = result.events;
    PyRef family = bytes_le(e.family);
    release(e.family);
    PyRef sample = bytes_le(e.sample);
    release(e.sample);
    PyRef event = bytes_le(e.event);
    release(e.event);
    PyRef branch = bytes_le(e.branch);
    release(e.branch);
    PyRef recipient = bytes_le(e.recipient);
    release(e.recipient);
    PyRef clade = bytes_le(e.clade);
    release(e.clade);
    PyRef left = bytes_le(e.left);
    release(e.left);
    PyRef right = bytes_le(e.right);
    release(e.right);
    PyRef columns =
        tuple_of({&family, &sample, &event, &branch, &recipient, &clade, &left, &right});
    return tuple_of({&loglik, &columns}).release();
}

// The three parameters after the model's: samples, seed, first_family.
rc::Sampling read_sampling(Arguments& in) {
    rc::Sampling sampling;
    sampling.samples = in.read_uint();
    sampling.seed = in.read_uint();
    sampling.first_family = in.read_uint();
    return sampling;
}

// Runs the engine without the interpreter lock once every argument converted.
template <class Call, class Engine>
PyObject* run_reconcile(Arguments& in, Call& call, Engine engine) {
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        rc::ReconcileResult result =
            without_interpreter_lock([&] { return engine(std::move(call)); });
        return reconcile_result(result);
    });
}

}  // namespace

PyObject* call_undated_clade_reconcile(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames) {
    Arguments in(kUndatedReconcileSpec, args, nargsf, kwnames);
    rc::UndatedReconcileCall call{read_undated_clade_call(in), {}};
    call.sampling = read_sampling(in);
    return run_reconcile(in, call, [](rc::UndatedReconcileCall c) {
        return rc::undated_clade_reconcile(std::move(c));
    });
}

PyObject* call_dated_clade_reconcile(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) {
    Arguments in(kDatedReconcileSpec, args, nargsf, kwnames);
    rc::DatedReconcileCall call{read_dated_clade_call(in), {}};
    call.sampling = read_sampling(in);
    return run_reconcile(in, call, [](rc::DatedReconcileCall c) {
        return rc::dated_clade_reconcile(std::move(c));
    });
}

}  // namespace korvath::py
