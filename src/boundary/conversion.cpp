#include "boundary/conversion.h"

#include "support/huge_pages.h"
#include "support/memory_budget.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

namespace korvath::py {

namespace {

// collections.abc.Sequence, imported once on first need.
PyObject* g_sequence_abc = nullptr;

const char* type_name(PyTypeObject* type) { return type->tp_name; }

// The qualified name of the object's type, as shown in conversion errors.
PyRef qualname_of(PyObject* object) {
    return PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
}

void raise_not_instance(PyObject* object, const char* expected) {
    PyRef name = qualname_of(object);
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

bool raise_not_sequence(PyObject* object) {
    if (g_sequence_abc == nullptr) {
        PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
        if (!abc) return false;
        g_sequence_abc = PyObject_GetAttrString(abc.get(), "Sequence");
        if (g_sequence_abc == nullptr) return false;
    }
    PyRef expected = PyRef::steal(PyObject_GetAttrString(g_sequence_abc, "__name__"));
    PyRef name = qualname_of(object);
    if (!expected || !name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", name.get(),
                 expected.get());
    return false;
}

// A numpy boolean scalar: its type's module is "numpy" and its name "bool_" or "bool".
bool is_numpy_bool_scalar(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    const char* full = type_name(type);
    return std::strcmp(full, "numpy.bool_") == 0 || std::strcmp(full, "numpy.bool") == 0;
}

bool convert_numpy_bool(PyObject* object, bool& out) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)),
                                                       "__bool__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyRef name = qualname_of(object);
        if (!name) return false;
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                     name.get());
        return false;
    }
    PyRef result = PyRef::steal(PyObject_CallOneArg(method.get(), object));
    if (!result) return false;
    if (result.get() == Py_True || result.get() == Py_False) {
        out = result.get() == Py_True;
        return true;
    }
    raise_not_instance(result.get(), "bool");
    return false;
}

}  // namespace

bool convert_uint(PyObject* object, std::uint64_t& out) {
    if (PyLong_Check(object)) {
        out = PyLong_AsUnsignedLongLong(object);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(object));
        if (!index) return false;
        out = PyLong_AsUnsignedLongLong(index.get());
    }
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool convert_int(PyObject* object, std::int64_t& out) {
    out = PyLong_AsLongLong(object);
    return !(out == -1 && PyErr_Occurred());
}

bool convert_u8(PyObject* object, std::uint8_t& out) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool convert_float(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    out = PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
}

bool convert_bool(PyObject* object, bool& out) {
    if (object == Py_True || object == Py_False) {
        out = object == Py_True;
        return true;
    }
    if (is_numpy_bool_scalar(object)) return convert_numpy_bool(object, out);
    if (object == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bool'");
        return false;
    }
    raise_not_instance(object, "bool");
    return false;
}

bool convert_str(PyObject* object, std::string& out) {
    if (!PyUnicode_Check(object)) {
        raise_not_instance(object, "str");
        return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &length);
    if (text == nullptr) return false;
    out.assign(text, static_cast<std::size_t>(length));
    return true;
}

namespace {

// Element conversion for the bool list: one byte per element.
bool convert_bool_byte(PyObject* object, std::uint8_t& out) {
    bool value = false;
    if (!convert_bool(object, value)) return false;
    out = value ? 1 : 0;
    return true;
}

// ---------------------------------------------------------------------------
// numpy fast path. Only an exact numpy.ndarray with one dimension and the
// native format of the element kind takes it; everything else goes through
// the element-by-element rule. The values it yields are exactly what that
// rule yields for those dtypes.

enum class BufferOutcome { Converted, Fallback, Error };

bool is_exact_ndarray(PyObject* object) {
    return std::strcmp(Py_TYPE(object)->tp_name, "numpy.ndarray") == 0;
}

// True when the buffer's format denotes a native-order element of `size` bytes
// whose struct code is one of `codes`.
bool format_is(const Py_buffer& view, const char* codes, Py_ssize_t size) {
    if (view.itemsize != size || view.format == nullptr) return false;
    const char* format = view.format;
    if (*format == '@' || *format == '=') ++format;
    if (format[0] == '\0' || format[1] != '\0') return false;
    return std::strchr(codes, format[0]) != nullptr;
}

class BufferView {
public:
    explicit BufferView(PyObject* object) {
        acquired_ = PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_STRIDES) == 0;
        if (!acquired_) PyErr_Clear();
    }
    ~BufferView() {
        if (acquired_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    bool usable() const { return acquired_ && view_.ndim == 1 && view_.shape != nullptr; }
    const Py_buffer& view() const { return view_; }
    bool contiguous() const {
        return view_.strides == nullptr || view_.strides[0] == view_.itemsize;
    }
    Py_ssize_t length() const { return view_.shape[0]; }
    template <class T>
    T element(Py_ssize_t i) const {
        T value;
        const Py_ssize_t stride = view_.strides != nullptr ? view_.strides[0] : view_.itemsize;
        std::memcpy(&value, static_cast<const char*>(view_.buf) + i * stride, sizeof(T));
        return value;
    }

private:
    Py_buffer view_{};
    bool acquired_ = false;
};

// Copies a 1-D numeric buffer whose elements are `Source` into `out` when
// `accept(value)` holds for every element; otherwise leaves the conversion to
// the element rule, which then raises the same error it always would.
// Reserves room for `n` elements; a large array is backed by fresh pages, so
// it asks for huge pages first (filling them is then several times cheaper).
template <class T>
void reserve_bulk(std::vector<T>& values, std::size_t n) {
    constexpr std::size_t kLargeArrayBytes = std::size_t{16} << 20;
    if (n * sizeof(T) >= kLargeArrayBytes) {
        reserve_with_huge_pages(values, n);
    } else {
        values.reserve(n);
    }
}

// ---------------------------------------------------------------------------
// The memory budget of a converted array (memory_budget_bytes): an array that
// would pass it raises MemoryError, like a real allocation failure, before
// the memory is taken. The budget is read only for arrays above this size.
constexpr std::size_t kUncheckedBytes = std::size_t{64} << 20;

// MemoryError for a sequence of `items` items (0: a count unknown, or beyond
// 64 bits), each stored in `item_bytes`.
bool raise_over_budget(std::size_t items, std::size_t item_bytes) {
    const std::string budget = memory_runaway_message(memory_budget_bytes(), "");
    const std::string what = budget.substr(std::strlen("exceeded "));
    if (items == 0) {
        PyErr_Format(PyExc_MemoryError, "the sequence holds more items than fit %s",
                     what.c_str());
    } else {
        PyErr_Format(PyExc_MemoryError, "a sequence of %zu items (%zu bytes each) does not fit %s",
                     items, item_bytes, what.c_str());
    }
    return false;
}

// Whether `n` items of T fit the budget (always for small arrays).
template <class T>
bool fits_budget(std::size_t n) {
    if (n <= kUncheckedBytes / sizeof(T)) return true;
    return n <= memory_budget_bytes() / sizeof(T);
}

// Makes room for one more item past the reserved capacity: doubles it, or
// raises MemoryError when the doubled array would pass the budget.
template <class T>
bool grow_within_budget(std::vector<T>& values) {
    const std::size_t n = values.size();
    const std::size_t next = n < 1024 ? 1024 : 2 * n;
    if (!fits_budget<T>(next)) return raise_over_budget(0, sizeof(T));
    values.reserve(next);
    return true;
}

template <class Source, class Target, class Accept>
BufferOutcome copy_buffer(const BufferView& buffer, std::vector<Target>& out, Accept accept) {
    const Py_ssize_t n = buffer.length();
    if (!fits_budget<Target>(static_cast<std::size_t>(n))) {
        raise_over_budget(static_cast<std::size_t>(n), sizeof(Target));
        return BufferOutcome::Error;
    }
    std::vector<Target> values;
    reserve_bulk(values, static_cast<std::size_t>(n));
    if constexpr (std::is_same_v<Source, Target>) {
        if (buffer.contiguous()) {
            const auto* first = static_cast<const Target*>(buffer.view().buf);
            values.assign(first, first + n);
            for (const Target value : values) {
                if (!accept(value)) return BufferOutcome::Fallback;
            }
            out = std::move(values);
            return BufferOutcome::Converted;
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Source value = buffer.element<Source>(i);
        if (!accept(value)) return BufferOutcome::Fallback;
        values.push_back(static_cast<Target>(value));
    }
    out = std::move(values);
    return BufferOutcome::Converted;
}

constexpr const char* kSignedCodes64 = sizeof(long) == 8 ? "lq" : "q";
constexpr const char* kUnsignedCodes64 = sizeof(long) == 8 ? "LQ" : "Q";

template <class T>
BufferOutcome convert_buffer(PyObject* object, std::vector<T>& out) {
    if (!is_exact_ndarray(object)) return BufferOutcome::Fallback;
    BufferView buffer(object);
    if (!buffer.usable()) return BufferOutcome::Fallback;
    const Py_buffer& view = buffer.view();
    if constexpr (std::is_same_v<T, double>) {
        if (format_is(view, "d", 8)) {
            return copy_buffer<double, double>(buffer, out, [](double) { return true; });
        }
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        if (format_is(view, kSignedCodes64, 8)) {
            return copy_buffer<std::int64_t, std::int64_t>(buffer, out,
                                                           [](std::int64_t) { return true; });
        }
        if (format_is(view, kUnsignedCodes64, 8)) {
            return copy_buffer<std::uint64_t, std::int64_t>(buffer, out, [](std::uint64_t v) {
                return v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
            });
        }
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        if (format_is(view, kUnsignedCodes64, 8)) {
            return copy_buffer<std::uint64_t, std::uint64_t>(buffer, out,
                                                             [](std::uint64_t) { return true; });
        }
        if (format_is(view, kSignedCodes64, 8)) {
            return copy_buffer<std::int64_t, std::uint64_t>(buffer, out,
                                                            [](std::int64_t v) { return v >= 0; });
        }
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
        if (format_is(view, "?", 1)) {
            return copy_buffer<std::uint8_t, std::uint8_t>(buffer, out,
                                                           [](std::uint8_t v) { return v <= 1; });
        }
    }
    return BufferOutcome::Fallback;
}

// ---------------------------------------------------------------------------
// The general rule: sequence check, length hint, iteration, element rule.

// Elements of exact built-in types whose conversion runs no Python code, so an
// exact list's items can be read without holding a reference. Returns false
// when the element needs the general rule.
inline bool quick_element(PyObject* item, double& out) {
    if (!PyFloat_CheckExact(item)) return false;
    out = PyFloat_AS_DOUBLE(item);
    return true;
}

// Small exact ints (at most two internal digits) read straight from their
// digits; the value is the same PyLong_AsLongLong would return.
inline bool quick_small_int(PyObject* item, std::int64_t& out) {
    if (!PyLong_CheckExact(item)) return false;
#if PY_VERSION_HEX < 0x030C0000
    // The sign is applied without a branch: lists of mixed signs would
    // otherwise mispredict on every other item.
    const auto size = static_cast<std::int64_t>(Py_SIZE(item));
    const std::int64_t sign = size >> 63;  // all ones when negative (arithmetic shift)
    const std::int64_t length = (size ^ sign) - sign;
    const digit* digits = reinterpret_cast<PyLongObject*>(item)->ob_digit;
    std::int64_t magnitude;
    if (length == 1) {
        magnitude = static_cast<std::int64_t>(digits[0]);
    } else if (length == 0) {
        magnitude = 0;
    } else if (length == 2) {
        magnitude = static_cast<std::int64_t>(digits[0]) +
                    (static_cast<std::int64_t>(digits[1]) << PyLong_SHIFT);
    } else {
        return false;
    }
    out = (magnitude ^ sign) - sign;
    return true;
#else
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) return false;
    out = static_cast<std::int64_t>(
        PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item)));
    return true;
#endif
}

inline bool quick_element(PyObject* item, std::int64_t& out) { return quick_small_int(item, out); }

inline bool quick_element(PyObject* item, std::uint64_t& out) {
    std::int64_t value = 0;
    if (!quick_small_int(item, value) || value < 0) return false;
    out = static_cast<std::uint64_t>(value);
    return true;
}

inline bool quick_element(PyObject* item, std::uint8_t& out) {
    if (item == Py_True) {
        out = 1;
        return true;
    }
    if (item == Py_False) {
        out = 0;
        return true;
    }
    return false;
}

inline bool quick_element(PyObject*, std::string&) { return false; }

template <class T, class Element>
bool convert_sequence(PyObject* object, std::vector<T>& out, Element element) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) return raise_not_sequence(object);

    if constexpr (!std::is_same_v<T, std::string>) {
        switch (convert_buffer<T>(object, out)) {
            case BufferOutcome::Converted: return true;
            case BufferOutcome::Error: return false;
            case BufferOutcome::Fallback: break;
        }
    }

    // The length is only a hint of the capacity: a sequence may report any
    // length and yield any number of items. Lists, tuples, ranges and numpy
    // arrays report the number of items they yield, so their length is
    // reserved up front (a range too long for the budget fails at once);
    // any other sequence starts with at most kUntrustedReserve items and the
    // array grows as items arrive, within the budget.
    constexpr std::size_t kUntrustedReserve = std::size_t{1} << 16;
    std::vector<T> values;
    const bool exact_length = PyList_CheckExact(object) || PyTuple_CheckExact(object) ||
                              PyRange_Check(object) || is_exact_ndarray(object);
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        // A range whose length passes 64 bits yields more items than any budget.
        if (PyRange_Check(object) && PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return raise_over_budget(0, sizeof(T));
        }
        PyErr_Clear();
    } else if (exact_length) {
        if (!fits_budget<T>(static_cast<std::size_t>(hint))) {
            return raise_over_budget(static_cast<std::size_t>(hint), sizeof(T));
        }
        reserve_bulk(values, static_cast<std::size_t>(hint));
    } else {
        values.reserve(std::min(static_cast<std::size_t>(hint), kUntrustedReserve));
    }

    if (PyList_CheckExact(object)) {
        // Same order and the same re-check of the length as the list iterator,
        // without creating the iterator.
        constexpr Py_ssize_t kPrefetchDistance = 16;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            // Items are separate objects: fetch one a little ahead so that
            // reading it does not wait on memory.
            if (i + kPrefetchDistance < PyList_GET_SIZE(object)) {
                __builtin_prefetch(PyList_GET_ITEM(object, i + kPrefetchDistance));
            }
            PyObject* borrowed = PyList_GET_ITEM(object, i);
            T value{};
            if (!quick_element(borrowed, value)) {
                // The element rule may run Python code that changes the list.
                PyRef item = PyRef::borrow(borrowed);
                if (!element(item.get(), value)) return false;
            }
            if (values.size() == values.capacity() && !grow_within_budget(values)) return false;
            values.push_back(std::move(value));
        }
    } else if (PyTuple_CheckExact(object)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(object);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(object, i);
            T value{};
            if (!quick_element(item, value) && !element(item, value)) return false;
            values.push_back(std::move(value));
        }
    } else {
        PyRef iterator = PyRef::steal(PyObject_GetIter(object));
        if (!iterator) return false;
        while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
            T value{};
            if (!element(item.get(), value)) return false;
            if (values.size() == values.capacity() && !grow_within_budget(values)) return false;
            values.push_back(std::move(value));
        }
        if (PyErr_Occurred()) return false;
    }
    out = std::move(values);
    return true;
}

// Element rules with a shortcut for exact built-in types; the shortcut gives
// the same value the general rule would.
bool int_element(PyObject* object, std::int64_t& out) { return convert_int(object, out); }

bool float_element(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    return convert_float(object, out);
}

}  // namespace

bool convert_int_list(PyObject* object, std::vector<std::int64_t>& out) {
    return convert_sequence(object, out, int_element);
}

bool convert_uint_list(PyObject* object, std::vector<std::uint64_t>& out) {
    return convert_sequence(object, out, convert_uint);
}

bool convert_float_list(PyObject* object, std::vector<double>& out) {
    return convert_sequence(object, out, float_element);
}

bool convert_bool_list(PyObject* object, std::vector<std::uint8_t>& out) {
    return convert_sequence(object, out, convert_bool_byte);
}

bool convert_str_list(PyObject* object, std::vector<std::string>& out) {
    return convert_sequence(object, out, convert_str);
}

void clear_conversion_cache() { Py_CLEAR(g_sequence_abc); }

}  // namespace korvath::py
