// The one exception boundary between the interpreter and the module's C++ code.
#pragma once

#include "module/py_ref.hpp"

#include <chrono>
#include <exception>
#include <new>
#include <thread>

namespace korvex {

// Blocks the calling thread for good, never touching the interpreter again: what becomes of a thread
// that the interpreter ends while korvex's frames are on its stack. At exit, CPython ends a thread
// other than the exiting one when it asks for the GIL back: 3.14 on blocks it forever, earlier
// versions call pthread_exit, which glibc carries out as a forced unwind of the thread's frames
// (other systems end the thread without unwinding). Unwinding korvex's frames would run their
// destructors without the GIL while the interpreter is being torn down, and end in a noexcept
// frame (std::terminate) or in a handler that drops the unwind (glibc aborts: "FATAL: exception not
// rethrown"). The process is exiting; the thread waits for it, as on 3.14.
[[noreturn]] inline void parkEndedThread() noexcept {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

// In a catch handler: whether the exception being handled is one that no C++ code threw, which is
// the unwind that ends the thread (pthread_exit on glibc) whenever it reaches the module's frames.
// Such an exception cannot be held, so libstdc++ and libc++abi both give no exception_ptr for it.
// (libstdc++'s typed catch, abi::__forced_unwind&, binds a reference to nothing.)
inline bool handlingForeignException() noexcept {
    return std::current_exception() == nullptr;
}

// Sets the Python exception for the C++ exception being handled: MemoryError for std::bad_alloc,
// SystemError with its what() text for any other std::exception, SystemError for anything else.
// Call only from a catch handler, with the GIL held.
inline void raiseCurrentException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "korvex: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "korvex: unknown C++ exception");
    }
}

// Runs `call` and turns any C++ exception it lets out into the Python exception above and a null
// result. The one place where the module catches what its C++ code throws with the GIL held. The
// unwind that ends the thread is not an exception of the module: a thread that the interpreter ends
// inside Python code or a blocking call that `call` made (a replaced isOpusFile, a read through
// open(), a report to sys.unraisablehook) is parked here, not swallowed, which glibc answers by
// aborting. The GIL's own re-takes in `withoutGil` park the thread where it asks for the GIL, before
// any frame is unwound.
template <typename Call>
PyObject* guarded(Call&& call) noexcept {
    try {
        return call();
    } catch (...) {
        if (handlingForeignException()) {
            parkEndedThread();
        }
        raiseCurrentException();
        return nullptr;
    }
}

// `entryPoint<function>`: `function` as the interpreter calls it, through `guarded`, for each shape of
// function the module hands to it (METH_O and METH_NOARGS; METH_FASTCALL | METH_KEYWORDS; the
// module's start-up). Every function, method and start-up hook of the module is bound through these,
// so that none of them can end the process with std::terminate (a failed allocation with the GIL
// held, say).
template <PyObject* (*function)(PyObject*, PyObject*)>
PyObject* entryPoint(PyObject* self, PyObject* argument) noexcept {
    return guarded([&] { return function(self, argument); });
}

template <PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entryPoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return function(self, args, nargs, kwnames); });
}

template <PyObject* (*function)()>
PyObject* entryPoint() noexcept {
    return guarded([] { return function(); });
}

}  // namespace korvex
