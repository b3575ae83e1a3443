// Reading a bound argument list in parameter order, converting each slot to
// an owned C++ value.
//
//     Arguments in(kSimulateLogSpec, args, nargs, kwnames);
//     std::uint64_t n_nodes = in.read_uint();
//     std::vector<std::int64_t> parent = in.read_int_list();
//     ...
//     if (!in.ok()) return nullptr;   // the Python error is set
//
// No C++ exception leaves a read: an allocation that fails while a value is
// converted raises MemoryError.
// The first failure (binding or conversion) sets the Python exception, with
// the note "while processing '<name>'" for a conversion, and turns every later
// read into a no-op returning an empty value, so later arguments are not looked at.
#pragma once

#include "boundary/binding.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvath::py {

inline constexpr std::size_t kMaxParams = 32;

// Raises the Python exception for the C++ exception being handled (inside a
// catch block) during binding or conversion: MemoryError for a failed
// allocation, else what translate_current_exception raises.
void raise_current_conversion_exception() noexcept;

class Arguments {
public:
    Arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
              PyObject* kwnames);

    bool ok() const { return ok_; }

    std::uint64_t read_uint();
    std::int64_t read_int();
    std::uint8_t read_u8();
    double read_float();
    bool read_bool();
    std::string read_str();
    std::vector<std::int64_t> read_int_list();
    std::vector<std::uint64_t> read_uint_list();
    std::vector<double> read_float_list();
    std::vector<std::uint8_t> read_bool_list();  // one byte per element, 0 or 1
    std::vector<std::string> read_str_list();

private:
    // The slot to convert next, or null once a failure has happened.
    PyObject* next_slot();
    // Attaches the parameter note to the pending exception and stops reading.
    void fail();

    const FunctionSpec& spec_;
    std::array<PyObject*, kMaxParams> slots_{};
    std::size_t next_ = 0;
    bool ok_ = true;
};

}  // namespace korvath::py
