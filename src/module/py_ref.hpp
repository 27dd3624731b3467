// PyRef: the one owner of a strong PyObject reference, so that no error path leaks one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace korvex {

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
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller, as a function result or a stealing API wants it.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace korvex
