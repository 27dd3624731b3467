// PyRef: the one owner of a strong PyObject reference, so that no error path leaks one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace korvex {

// Whether this thread holds the GIL (on a build without the GIL: is attached to the interpreter).
// Inside a call it is false only when the interpreter has ended the thread as it asked for the GIL
// back in Python code or a blocking call that the call made (at exit, on CPython 3.10 to 3.13 with
// glibc, a forced unwind through the call's frames): the destructors of those frames then leave the
// interpreter's objects alone, which another thread is tearing down, and the thread is parked at the
// entry point (parkEndedThread).
inline bool holdsGil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    // The current thread state is the process's, the GIL holder's, of the thread that made it.
    const PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current->thread_id == PyThread_get_thread_ident();
#endif
}

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (or nullptr, as a failed API call returns it).
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XSETREF(object_, std::exchange(other.object_, nullptr));
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() {
        if (object_ != nullptr && holdsGil()) {
            Py_DECREF(object_);
        }
    }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller, as a function result or a stealing API wants it.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace korvex
