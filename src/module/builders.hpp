// What the result builders share: the parameter labels they look up, the axes, the result object.
#pragma once

#include "module/py_ref.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>

#include "extract/assembly.hpp"
#include "module/names.hpp"
#include "module/request.hpp"

namespace korvex {

// Parameter labels the builders look up.
enum class Label { NPT, FXV, LXV, AOX, AOY, DDX, DDY, NPX, NPY, MXY, MNY };

// Makes the label strs; once, at import.
bool initBuilders();

// parameters[label], borrowed; KeyError(label) when it is missing.
PyObject* lookUp(PyObject* parameters, Label label);

// The label as a str.
PyObject* labelText(Label label);

// Sets KeyError(label) for a label that the parameters lack; returns nullptr.
PyObject* raiseMissingLabel(std::string_view label);

// The axis of `plan`, as numpy.linspace(first, last, count) gives it: spaced natively, value for
// value as NumPy spaces it, or made by NumPy from these objects, with its own errors and warnings.
PyRef evenAxis(const AxisPlan& plan, PyObject* first, PyObject* last, PyObject* count);

// DataReturn as the module binds it at the time of the call, built with the request's triple.
PyRef newResult(PyObject* module, const Request& request);

// Sets the attributes on `result` in order; false with the exception set when one fails.
bool setAttributes(PyObject* result, std::initializer_list<std::pair<Name, PyObject*>> attributes);

}  // namespace korvex
