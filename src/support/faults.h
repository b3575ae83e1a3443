// Error types thrown by the engines. The module boundary catches them in one
// place per call and raises the matching Python exception:
//   InternalFault -> PanicException  (a violated requirement of the input)
//   RunawayError  -> RuntimeError    (event limit reached, worker pool failure)
//   IoError       -> OSError         (file-system failure)
// Engines never catch these themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvath {

class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RunawayError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Out of line and marked cold, so that the checks on hot paths stay a compare
// and a rarely taken jump, and the functions holding them stay small enough
// to inline.
[[noreturn, gnu::cold, gnu::noinline]] inline void fault(const std::string& message) {
    throw InternalFault(message);
}
[[noreturn, gnu::cold, gnu::noinline]] inline void fault(const char* message) {
    throw InternalFault(message);
}

// Bounds-checked element access for indices that derive from caller data.
// `what` names the array in the fault message.
template <class Vec>
inline auto& checked_at(Vec& values, std::uint64_t index, const char* what) {
    if (index >= values.size()) {
        fault(std::string("index out of bounds: ") + what + " has length " +
              std::to_string(values.size()) + " but the index is " + std::to_string(index));
    }
    return values[static_cast<std::size_t>(index)];
}

}  // namespace korvath
