// Letting other Python threads run while a call's engine works.
//
// Every function converts its arguments with the interpreter lock held, then
// runs its engine through `without_interpreter_lock`, then builds its result
// with the lock held again. The engine sees only owned C++ values, so nothing
// inside the released stretch touches a Python object.
#pragma once

#include "boundary/py_ref.h"

#include <utility>

namespace korvath::py {

// Releases the calling thread's interpreter lock for its lifetime and takes it
// back on destruction, also while an engine exception unwinds, so that the
// exception is translated into a Python error with the lock held.
class InterpreterLockRelease {
public:
    InterpreterLockRelease() : state_(PyEval_SaveThread()) {}
    ~InterpreterLockRelease() { PyEval_RestoreThread(state_); }
    InterpreterLockRelease(const InterpreterLockRelease&) = delete;
    InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

private:
    PyThreadState* state_;
};

// Runs `engine()` with the lock released and returns its result once the lock
// is held again. `engine` must not touch any Python object.
template <class Engine>
decltype(auto) without_interpreter_lock(Engine&& engine) {
    const InterpreterLockRelease release;
    return std::forward<Engine>(engine)();
}

}  // namespace korvath::py
