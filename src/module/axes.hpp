// Evenly spaced axes, as numpy.linspace gives them.
#pragma once

#include "module/py_ref.hpp"

#include "extract/assembly.hpp"

namespace korvex {

// The axis of `plan`, as numpy.linspace(first, last, count) gives it: spaced natively, value for
// value as NumPy spaces it, or made by NumPy from these objects, with its own errors and warnings.
PyRef evenAxis(const AxisPlan& plan, PyObject* first, PyObject* last, PyObject* count);

}  // namespace korvex
