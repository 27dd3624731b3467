// Evenly spaced axes, as numpy.linspace gives them.
#pragma once

#include "module/py_ref.hpp"

namespace korvex {

// An axis as numpy.linspace(first, last, count) gives it: plain numbers (an int count >= 0, int or
// float ends of moderate size) are spaced natively, value for value as NumPy spaces them; NumPy
// judges every other value itself, with its own errors and warnings.
PyRef evenAxis(PyObject* first, PyObject* last, PyObject* count);

}  // namespace korvex
