// Binding of positional and keyword arguments to named parameter slots.
// Every parameter of every function is positional-or-keyword and required.
#pragma once

#include "boundary/py_ref.h"

#include <cstddef>
#include <span>
#include <string>

namespace korvath::py {

struct FunctionSpec {
    const char* name;
    std::span<const char* const> params;
};

// Fills `slots` (one borrowed reference per parameter) from a vectorcall
// argument list. Returns false with a TypeError set when binding fails.
bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots);

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_quoted_names(std::span<const char* const> names);

}  // namespace korvath::py
