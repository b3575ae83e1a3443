#include "boundary/binding.h"

#include <cstring>
#include <string>
#include <vector>

namespace korvath::py {

std::string join_quoted_names(std::span<const char* const> names) {
    std::string out;
    const std::size_t n = names.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) {
            if (n == 2) {
                out += " and ";
            } else if (i + 1 == n) {
                out += ", and ";
            } else {
                out += ", ";
            }
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

namespace {

// Index of the parameter called `name`, or -1.
Py_ssize_t find_param(const FunctionSpec& spec, PyObject* name) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const char* param = spec.params[i];
        if (std::strlen(param) == static_cast<std::size_t>(length) &&
            std::memcmp(param, text, static_cast<std::size_t>(length)) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

bool report_missing(const FunctionSpec& spec, PyObject** slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        if (slots[i] == nullptr) missing.push_back(spec.params[i]);
    }
    if (missing.empty()) return true;
    const std::string list = join_quoted_names(missing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 spec.name, missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
    return false;
}

}  // namespace

bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t n_params = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t n_positional = PyVectorcall_NARGS(nargsf);
    if (n_positional > n_params) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                     spec.name, n_params, n_positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < n_params; ++i) slots[i] = nullptr;
    for (Py_ssize_t i = 0; i < n_positional; ++i) slots[i] = args[i];

    const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = find_param(spec, name);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name, name);
            return false;
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         spec.name, spec.params[static_cast<std::size_t>(index)]);
            return false;
        }
        slots[index] = args[n_positional + k];
    }
    return report_missing(spec, slots);
}

}  // namespace korvath::py
