// The one exception boundary between the interpreter and the module's C++ code.
#pragma once

#include "module/py_ref.hpp"

#include <exception>
#include <new>

namespace korvex {

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
// result. The one place where the module catches what its C++ code throws with the GIL held.
template <typename Call>
PyObject* guarded(Call&& call) noexcept {
    try {
        return call();
    } catch (...) {
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
