// NumPy arrays made through NumPy's Python API and filled through the buffer protocol.
#pragma once

#include "module/py_ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <span>

namespace korvex {

enum class ArrayType { float32, float64 };

// A new one-dimensional array of `count` elements, not filled; NumPy's MemoryError when it cannot
// be allocated.
PyRef newArray(std::int64_t count, ArrayType type);

// A new C-contiguous array of `shape`, zero-filled (as numpy.zeros makes it, its pages untouched
// until written) or not; NumPy's errors, such as MemoryError, for one that cannot be made.
PyRef newShapedArray(std::initializer_list<std::int64_t> shape, ArrayType type, bool zeroed);

// Raise what NumPy raises for stacking no arrays (numpy.dstack of an empty list), and for reshaping
// `count` values to (rows, columns). Both return nullptr.
PyObject* raiseNothingToStack();
PyObject* raiseReshapeError(std::int64_t count, std::int64_t rows, std::int64_t columns);

// numpy.linspace(first, last, count) called with these objects, for the values that NumPy must
// judge itself (a count that is not a non-negative int, ends that are not plain numbers).
PyRef numpyLinspace(PyObject* first, PyObject* last, PyObject* count);

// The one owner of a Py_buffer: a writable, C-contiguous view of an object's memory.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    BufferView(BufferView&& other) noexcept : view_(other.view_), held_(other.held_) { other.held_ = false; }
    BufferView& operator=(BufferView&&) = delete;
    ~BufferView() {
        if (held_ && holdsGil()) {
            PyBuffer_Release(&view_);
        }
    }

    // Takes the view; false with the exception set when the object refuses it.
    bool acquire(PyObject* object);

    template <typename T>
    std::span<T> as() const {
        return {static_cast<T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace korvex
