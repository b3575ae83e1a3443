// Building Python results from engine buffers. Every builder returns an owned
// reference, or throws PythonErrorSet when the interpreter cannot create the
// object (the caller's `guarded` turns that into PanicException).
#pragma once

#include "boundary/errors.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <vector>

namespace korvath::py {

// Checks a freshly created object.
inline PyRef checked(PyObject* object) {
    if (object == nullptr) throw PythonErrorSet{};
    return PyRef::steal(object);
}

// Packs unsigned integers as little-endian elements of sizeof(T) bytes.
template <class T>
PyRef bytes_le(const std::vector<T>& values) {
    static_assert(std::is_integral_v<T>);
    PyRef out = checked(PyBytes_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(values.size() * sizeof(T))));
    char* data = PyBytes_AS_STRING(out.get());
    if constexpr (std::endian::native == std::endian::little) {
        if (!values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(T));
    } else {
        for (std::size_t i = 0; i < values.size(); ++i) {
            auto v = static_cast<std::make_unsigned_t<T>>(values[i]);
            for (std::size_t b = 0; b < sizeof(T); ++b) {
                data[i * sizeof(T) + b] = static_cast<char>((v >> (8 * b)) & 0xFF);
            }
        }
    }
    return out;
}

PyRef int_from(std::uint64_t value);
PyRef int_from(std::int64_t value);
PyRef float_from(double value);

// A list whose item i is make(values[i]), a new reference or null on failure.
template <class T, class Make>
PyRef list_with(const std::vector<T>& values, Make make) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = make(values[i]);
        if (item == nullptr) throw PythonErrorSet{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyRef list_from(const std::vector<std::uint32_t>& values);
PyRef list_from(const std::vector<std::uint64_t>& values);
PyRef list_from(const std::vector<std::int64_t>& values);
PyRef list_from(const std::vector<double>& values);

// A tuple that takes over the given references (all must be non-null).
PyRef tuple_of(std::initializer_list<PyRef*> items);

// Frees a vector's storage at once.
template <class T, class Allocator>
void release(std::vector<T, Allocator>& values) {
    std::vector<T, Allocator>().swap(values);
}

}  // namespace korvath::py
