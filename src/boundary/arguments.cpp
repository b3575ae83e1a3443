#include "boundary/arguments.h"

#include "boundary/conversion.h"
#include "boundary/errors.h"

#include <cstdio>
#include <new>
#include <stdexcept>

namespace korvath::py {

Arguments::Arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames)
    : spec_(spec) {
    if (spec.params.size() > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters in a function description");
        ok_ = false;
        return;
    }
    try {
        ok_ = bind_arguments(spec, args, nargsf, kwnames, slots_.data());
    } catch (...) {
        raise_current_conversion_exception();
        ok_ = false;
    }
}

void raise_current_conversion_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (...) {
        translate_current_exception();
    }
}

PyObject* Arguments::next_slot() {
    if (!ok_) return nullptr;
    if (next_ >= spec_.params.size()) {
        PyErr_SetString(PyExc_SystemError, "argument read past the parameter list");
        ok_ = false;
        return nullptr;
    }
    return slots_[next_++];
}

void Arguments::fail() {
    ok_ = false;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        char note[128];
        std::snprintf(note, sizeof note, "while processing '%s'", spec_.params[next_ - 1]);
        PyObject* result = PyObject_CallMethod(value, "add_note", "s", note);
        if (result == nullptr) {
            // Keep the conversion error; a failing add_note must not replace it.
            PyErr_Clear();
        }
        Py_XDECREF(result);
    }
    PyErr_Restore(type, value, traceback);
}

#define KORVATH_READ(method, type, converter)            \
    type Arguments::method() {                           \
        PyObject* slot = next_slot();                    \
        type value{};                                    \
        if (slot == nullptr) return value;               \
        bool converted = false;                          \
        try {                                            \
            converted = converter(slot, value);          \
        } catch (...) {                                  \
            raise_current_conversion_exception();        \
        }                                                \
        if (!converted) {                                \
            value = type{};                              \
            fail();                                      \
        }                                                \
        return value;                                    \
    }

KORVATH_READ(read_uint, std::uint64_t, convert_uint)
KORVATH_READ(read_int, std::int64_t, convert_int)
KORVATH_READ(read_u8, std::uint8_t, convert_u8)
KORVATH_READ(read_float, double, convert_float)
KORVATH_READ(read_bool, bool, convert_bool)
KORVATH_READ(read_str, std::string, convert_str)
KORVATH_READ(read_int_list, std::vector<std::int64_t>, convert_int_list)
KORVATH_READ(read_uint_list, std::vector<std::uint64_t>, convert_uint_list)
KORVATH_READ(read_float_list, std::vector<double>, convert_float_list)
KORVATH_READ(read_bool_list, std::vector<std::uint8_t>, convert_bool_list)
KORVATH_READ(read_str_list, std::vector<std::string>, convert_str_list)

#undef KORVATH_READ

}  // namespace korvath::py
