// Turning engine exceptions into Python exceptions. Every function of the
// module runs its engine call through `guarded`, so no C++ exception ever
// unwinds into the interpreter. A failed allocation (std::bad_alloc,
// std::length_error) raises MemoryError, as does the interpreter running out
// of memory for a result; every other fault raises PanicException.
#pragma once

#include "boundary/py_ref.h"

namespace korvath::py {

// Thrown by result builders when the interpreter failed to create an object;
// the Python error is already set and becomes the context of the panic.
struct PythonErrorSet {};

// The PanicException class, created on first use (null with an error set if
// it cannot be created).
PyObject* panic_exception_type();

// Raises PanicException with `message`, chaining any pending exception.
void raise_panic(const char* message);

// Translates the exception being handled (inside a catch block) into a Python
// exception. Always returns null for convenience.
PyObject* translate_current_exception() noexcept;

// Runs `body` (which returns a new reference, or null with an error set) and
// converts any C++ exception it throws.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return translate_current_exception();
    }
}

}  // namespace korvath::py
