#include "boundary/results.h"

namespace korvath::py {

PyRef int_from(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
PyRef int_from(std::int64_t value) { return checked(PyLong_FromLongLong(value)); }
PyRef float_from(double value) { return checked(PyFloat_FromDouble(value)); }

PyRef list_from(const std::vector<std::uint32_t>& values) {
    return list_with(values, [](std::uint32_t v) { return PyLong_FromUnsignedLong(v); });
}

PyRef list_from(const std::vector<std::uint64_t>& values) {
    return list_with(values, [](std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); });
}

PyRef list_from(const std::vector<std::int64_t>& values) {
    return list_with(values, [](std::int64_t v) { return PyLong_FromLongLong(v); });
}

PyRef list_from(const std::vector<double>& values) {
    return list_with(values, [](double v) { return PyFloat_FromDouble(v); });
}

PyRef tuple_of(std::initializer_list<PyRef*> items) {
    PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyRef* item : items) {
        if (!*item) throw PythonErrorSet{};
        PyTuple_SET_ITEM(tuple.get(), i++, item->release());
    }
    return tuple;
}

}  // namespace korvath::py
