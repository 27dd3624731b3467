// Running core work with the GIL released, interruptible by the interpreter's signal handlers.
#pragma once

#include "module/py_ref.hpp"

#include <atomic>
#include <new>
#include <optional>

#include "format/interruption.hpp"
#include "format/result.hpp"
#include "module/errors.hpp"

namespace korvex {

// The core's interruption check while the GIL is released: takes the GIL back, runs the
// interpreter's signal handlers as its own file reads do, and releases the GIL again. A handler
// that raises stops the work; its exception is kept for raiseError.
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

// With the GIL: whether the interpreter runs signal handlers on this thread, its main thread in the
// main interpreter; anywhere else PyErr_CheckSignals runs none, so taking the GIL back to call it
// would only wait on other threads. The main thread is threading's, asked once.
inline bool runsSignalHandlers() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        return false;
    }
    static std::atomic<unsigned long> mainThread{0};
    unsigned long known = mainThread.load(std::memory_order_relaxed);
    if (known == 0) {
        PyRef threading(PyImport_ImportModule("threading"));
        PyRef main = threading ? PyRef(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef();
        PyRef ident = main ? PyRef(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
        known = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
        if (!ident || (known == static_cast<unsigned long>(-1) && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        mainThread.store(known, std::memory_order_relaxed);
    }
    return PyThread_get_thread_ident() == known;
}

// Runs `work`, which returns a Result, with the GIL released; it must not touch the interpreter.
// A failed allocation becomes an Error; any other exception is passed on with the GIL taken back,
// to the entry point's boundary. On the thread that runs signal handlers, a handler that raises
// stops the work's reads (ErrorKind::interrupted).
template <typename Work>
auto withoutGil(Work&& work) -> decltype(work()) {
    PyThreadState* state = nullptr;
    SignalCheck check(state);
    std::optional<InterruptionScope> scope;
    if (runsSignalHandlers()) {
        scope.emplace(check);
    }
    state = PyEval_SaveThread();
    try {
        auto result = work();
        PyEval_RestoreThread(state);
        return result;
    } catch (const std::bad_alloc&) {
        PyEval_RestoreThread(state);
        return Error::noMemory();
    } catch (...) {
        // Any other exception goes on to the entry point's boundary, which needs the GIL.
        PyEval_RestoreThread(state);
        throw;
    }
}

}  // namespace korvex
