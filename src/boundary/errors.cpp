#include "boundary/errors.h"

#include "support/faults.h"

#include <new>
#include <stdexcept>

namespace korvath::py {

namespace {

// Created once per process on first use; never released, like a type object.
PyObject* g_panic_exception = nullptr;

constexpr const char* kPanicDoc =
    "The exception raised when the compiled core meets an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

}  // namespace

PyObject* panic_exception_type() {
    if (g_panic_exception == nullptr) {
        g_panic_exception = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                      PyExc_BaseException, nullptr);
    }
    return g_panic_exception;
}

void raise_panic(const char* message) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);  // a pending error becomes the context
    PyObject* panic = panic_exception_type();
    if (panic == nullptr) {
        // Could not even create the class: keep whatever error that left.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyErr_SetString(panic, message);
    if (type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
        PyObject* new_type = nullptr;
        PyObject* new_value = nullptr;
        PyObject* new_traceback = nullptr;
        PyErr_Fetch(&new_type, &new_value, &new_traceback);
        PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
        if (new_value != nullptr && value != nullptr) {
            PyException_SetContext(new_value, value);  // steals the reference to value
            value = nullptr;
        }
        PyErr_Restore(new_type, new_value, new_traceback);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
}

PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            // The interpreter ran out of memory for the result: that is no
            // internal fault, and the MemoryError stays as it is.
        } else if (PyErr_Occurred()) {
            raise_panic("the interpreter could not create a result object");
        } else {
            raise_panic("a result object could not be created");
        }
    } catch (const InternalFault& e) {
        raise_panic(e.what());
    } catch (const RunawayError& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const IoError& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a size beyond what a container can hold
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal error");
    }
    return nullptr;
}

}  // namespace korvath::py
