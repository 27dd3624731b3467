// What the result builders share: the parameter labels they look up, the axes, the result object.
#pragma once

#include "module/py_ref.hpp"

#include <initializer_list>
#include <utility>

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

// An axis as numpy.linspace(first, last, count) gives it: plain numbers (an int count >= 0, int or
// float ends of moderate size) are spaced natively, value for value as NumPy spaces them; NumPy
// judges every other value itself, with its own errors and warnings.
PyRef evenAxis(PyObject* first, PyObject* last, PyObject* count);

// DataReturn as the module binds it at the time of the call, built with the request's triple.
PyRef newResult(PyObject* module, const Request& request);

// Sets the attributes on `result` in order; false with the exception set when one fails.
bool setAttributes(PyObject* result, std::initializer_list<std::pair<Name, PyObject*>> attributes);

}  // namespace korvex
