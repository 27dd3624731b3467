// Running core work with the GIL released.
#pragma once

#include "module/py_ref.hpp"

#include <new>

#include "format/result.hpp"

namespace korvex {

// Runs `work`, which returns a Result, with the GIL released; it must not touch the interpreter.
// A failed allocation becomes an Error, so no C++ exception reaches the interpreter.
template <typename Work>
auto withoutGil(Work&& work) -> decltype(work()) {
    PyThreadState* state = PyEval_SaveThread();
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
