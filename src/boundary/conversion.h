// Conversion of single Python values to owned C++ values. Each function
// returns false with a Python exception set when the value is not accepted.
// The caller attaches the parameter note.
#pragma once

#include "boundary/py_ref.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvath::py {

bool convert_uint(PyObject* object, std::uint64_t& out);
bool convert_int(PyObject* object, std::int64_t& out);
bool convert_u8(PyObject* object, std::uint8_t& out);
bool convert_float(PyObject* object, double& out);
bool convert_bool(PyObject* object, bool& out);
bool convert_str(PyObject* object, std::string& out);

bool convert_int_list(PyObject* object, std::vector<std::int64_t>& out);
bool convert_uint_list(PyObject* object, std::vector<std::uint64_t>& out);
bool convert_float_list(PyObject* object, std::vector<double>& out);
bool convert_bool_list(PyObject* object, std::vector<std::uint8_t>& out);
bool convert_str_list(PyObject* object, std::vector<std::string>& out);

// Releases the cached collections.abc.Sequence type (module teardown).
void clear_conversion_cache();

}  // namespace korvath::py
