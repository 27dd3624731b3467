// Running core work with the GIL released, interruptible by the interpreter's signal handlers.
#pragma once

#include "module/py_ref.hpp"

#include <new>

#include "format/interruption.hpp"
#include "format/result.hpp"
#include "module/errors.hpp"

namespace korvex {

// The core's interruption check while the GIL is released: takes the GIL back, runs the
// interpreter's signal handlers as its own file reads do (on the main thread; elsewhere they wait
// for it), and releases the GIL again. A handler that raises stops the work; its exception is kept
// for raiseError.
class SignalCheck final : public InterruptionCheck {
public:
    explicit SignalCheck(PyThreadState*& released) : released_(released) {}

    bool stopRequested() noexcept override {
        PyEval_RestoreThread(released_);
        const bool raised = PyErr_CheckSignals() != 0;
        if (raised) {
            keepInterruption();
        }
        released_ = PyEval_SaveThread();
        return raised;
    }

private:
    PyThreadState*& released_;
};

// Runs `work`, which returns a Result, with the GIL released; it must not touch the interpreter.
// A failed allocation becomes an Error, so no C++ exception reaches the interpreter. Signals stop
// the work's reads (ErrorKind::interrupted) when a handler raises.
template <typename Work>
auto withoutGil(Work&& work) -> decltype(work()) {
    PyThreadState* state = nullptr;
    SignalCheck check(state);
    InterruptionScope scope(check);
    state = PyEval_SaveThread();
    try {
        auto result = work();
        PyEval_RestoreThread(state);
        return result;
    } catch (const std::bad_alloc&) {
        PyEval_RestoreThread(state);
        return Error::noMemory();
    }
}

}  // namespace korvex
