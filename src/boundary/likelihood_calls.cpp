// The four reconciliation likelihood functions.
#include "boundary/calls.h"
#include "boundary/parameter_lists.h"
#include "boundary/arguments.h"
#include "boundary/errors.h"
#include "boundary/interpreter_lock.h"
#include "boundary/likelihood_args.h"
#include "boundary/results.h"
#include "reconciliation/likelihood_drivers.h"

#include <utility>

namespace korvath::py {

namespace {

struct DatedInputs {
    std::vector<std::int64_t> sp_parent, sp_left, sp_right;
    std::vector<std::uint8_t> sp_is_leaf;
    std::vector<double> sp_time, sp_parent_time;
    std::uint64_t sp_root = 0;
    std::vector<std::uint64_t> gt_offsets;
    std::vector<std::uint8_t> gt_is_leaf;
    std::vector<std::int64_t> gt_left, gt_right, gt_species;
    double dup = 0, transfer = 0, loss = 0;
    std::uint64_t n_steps = 0;
    std::uint8_t origination = 0;
};

DatedInputs read_dated(Arguments& in) {
    DatedInputs d;
    d.sp_parent = in.read_int_list();
    d.sp_left = in.read_int_list();
    d.sp_right = in.read_int_list();
    d.sp_is_leaf = in.read_bool_list();
    d.sp_time = in.read_float_list();
    d.sp_parent_time = in.read_float_list();
    d.sp_root = in.read_uint();
    d.gt_offsets = in.read_uint_list();
    d.gt_is_leaf = in.read_bool_list();
    d.gt_left = in.read_int_list();
    d.gt_right = in.read_int_list();
    d.gt_species = in.read_int_list();
    d.dup = in.read_float();
    d.transfer = in.read_float();
    d.loss = in.read_float();
    d.n_steps = in.read_uint();
    d.origination = in.read_u8();
    return d;
}

struct UndatedInputs {
    std::vector<std::int64_t> sp_left, sp_right;
    std::vector<std::uint8_t> sp_is_leaf;
    std::vector<double> sp_time, sp_parent_time;
    std::uint64_t sp_root = 0;
    std::vector<std::uint64_t> gt_offsets;
    std::vector<std::uint8_t> gt_is_leaf;
    std::vector<std::int64_t> gt_left, gt_right, gt_species;
    double dup = 0, transfer = 0, loss = 0;
    std::uint8_t transfers = 0;
    std::uint8_t origination = 0;
};

UndatedInputs read_undated(Arguments& in) {
    UndatedInputs u;
    u.sp_left = in.read_int_list();
    u.sp_right = in.read_int_list();
    u.sp_is_leaf = in.read_bool_list();
    u.sp_time = in.read_float_list();
    u.sp_parent_time = in.read_float_list();
    u.sp_root = in.read_uint();
    u.gt_offsets = in.read_uint_list();
    u.gt_is_leaf = in.read_bool_list();
    u.gt_left = in.read_int_list();
    u.gt_right = in.read_int_list();
    u.gt_species = in.read_int_list();
    u.dup = in.read_float();
    u.transfer = in.read_float();
    u.loss = in.read_float();
    u.transfers = in.read_u8();
    u.origination = in.read_u8();
    return u;
}

namespace rc = korvath::reconciliation;

rc::DatedLikelihoodCall dated_call(DatedInputs&& d) {
    rc::DatedLikelihoodCall call;
    call.species.sp_parent = std::move(d.sp_parent);
    call.species.sp_left = std::move(d.sp_left);
    call.species.sp_right = std::move(d.sp_right);
    call.species.sp_is_leaf = std::move(d.sp_is_leaf);
    call.species.sp_time = std::move(d.sp_time);
    call.species.sp_parent_time = std::move(d.sp_parent_time);
    call.species.sp_root = d.sp_root;
    call.batch.gt_offsets = std::move(d.gt_offsets);
    call.batch.gt_is_leaf = std::move(d.gt_is_leaf);
    call.batch.gt_left = std::move(d.gt_left);
    call.batch.gt_right = std::move(d.gt_right);
    call.batch.gt_species = std::move(d.gt_species);
    call.rates = {d.dup, d.transfer, d.loss};
    call.n_steps = d.n_steps;
    call.origination = d.origination;
    return call;
}

rc::UndatedLikelihoodCall undated_call(UndatedInputs&& u) {
    rc::UndatedLikelihoodCall call;
    call.species.sp_left = std::move(u.sp_left);
    call.species.sp_right = std::move(u.sp_right);
    call.species.sp_is_leaf = std::move(u.sp_is_leaf);
    call.species.sp_time = std::move(u.sp_time);
    call.species.sp_parent_time = std::move(u.sp_parent_time);
    call.species.sp_root = u.sp_root;
    call.batch.gt_offsets = std::move(u.gt_offsets);
    call.batch.gt_is_leaf = std::move(u.gt_is_leaf);
    call.batch.gt_left = std::move(u.gt_left);
    call.batch.gt_right = std::move(u.gt_right);
    call.batch.gt_species = std::move(u.gt_species);
    call.rates = {u.dup, u.transfer, u.loss};
    call.transfers = u.transfers;
    call.origination = u.origination;
    return call;
}

}  // namespace

PyObject* call_dated_joint_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    Arguments in(kDatedJointSpec, args, nargsf, kwnames);
    DatedInputs d = read_dated(in);
    std::uint64_t n_extinct = in.read_uint();
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        const double total = without_interpreter_lock(
            [&] { return rc::dated_joint_loglik(dated_call(std::move(d)), n_extinct); });
        return float_from(total).release();
    });
}

PyObject* call_dated_family_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) {
    Arguments in(kDatedFamilySpec, args, nargsf, kwnames);
    DatedInputs d = read_dated(in);
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::vector<double> values = without_interpreter_lock(
            [&] { return rc::dated_family_loglik(dated_call(std::move(d))); });
        return list_from(values).release();
    });
}

PyObject* call_undated_joint_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) {
    Arguments in(kUndatedJointSpec, args, nargsf, kwnames);
    UndatedInputs u = read_undated(in);
    std::uint64_t n_extinct = in.read_uint();
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        const double total = without_interpreter_lock(
            [&] { return rc::undated_joint_loglik(undated_call(std::move(u)), n_extinct); });
        return float_from(total).release();
    });
}

PyObject* call_undated_family_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) {
    Arguments in(kUndatedFamilySpec, args, nargsf, kwnames);
    UndatedInputs u = read_undated(in);
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::vector<double> values = without_interpreter_lock(
            [&] { return rc::undated_family_loglik(undated_call(std::move(u))); });
        return list_from(values).release();
    });
}


PyObject* call_dated_clade_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    Arguments in(kDatedCladeSpec, args, nargsf, kwnames);
    rc::DatedCladeCall call = read_dated_clade_call(in);
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::vector<double> values = without_interpreter_lock(
            [&] { return rc::dated_clade_loglik(std::move(call)); });
        return list_from(values).release();
    });
}

PyObject* call_undated_clade_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) {
    Arguments in(kUndatedCladeSpec, args, nargsf, kwnames);
    rc::UndatedCladeCall call = read_undated_clade_call(in);
    if (!in.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::vector<double> values = without_interpreter_lock(
            [&] { return rc::undated_clade_loglik(std::move(call)); });
        return list_from(values).release();
    });
}

}  // namespace korvath::py
