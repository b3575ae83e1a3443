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

// Writes the integer `value` as sizeof(T) little-endian bytes at `out`.
template <class T>
void write_le(char* out, T value) {
    static_assert(std::is_integral_v<T>);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &value, sizeof(T));
    } else {
        const auto v = static_cast<std::make_unsigned_t<T>>(value);
        for (std::size_t b = 0; b < sizeof(T); ++b) out[b] = static_cast<char>((v >> (8 * b)) & 0xFF);
    }
}

// Writes `values` as consecutive little-endian elements of sizeof(T) bytes.
template <class T>
void write_le(char* out, const std::vector<T>& values) {
    static_assert(std::is_integral_v<T>);
    if constexpr (std::endian::native == std::endian::little) {
        if (!values.empty()) std::memcpy(out, values.data(), values.size() * sizeof(T));
    } else {
        for (std::size_t i = 0; i < values.size(); ++i) write_le(out + i * sizeof(T), values[i]);
    }
}

// A bytes object of `size` bytes, to be filled through the returned pointer.
inline PyRef uninitialized_bytes(std::size_t size, char*& data) {
    PyRef out = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    data = PyBytes_AS_STRING(out.get());
    return out;
}

// Packs unsigned integers as little-endian elements of sizeof(T) bytes.
template <class T>
PyRef bytes_le(const std::vector<T>& values) {
    char* data = nullptr;
    PyRef out = uninitialized_bytes(values.size() * sizeof(T), data);
    write_le(data, values);
    return out;
}

PyRef int_from(std::uint64_t value);
PyRef int_from(std::int64_t value);
PyRef float_from(double value);

// A list of `n` items whose item i is make(i), a new reference or null on failure.
template <class Make>
PyRef indexed_list(std::size_t n, Make make) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) throw PythonErrorSet{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// A list whose item i is make(values[i]), a new reference or null on failure.
template <class T, class Make>
PyRef list_with(const std::vector<T>& values, Make make) {
    return indexed_list(values.size(), [&](std::size_t i) { return make(values[i]); });
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
