// The result class DataReturn, and the making of its instances.
#pragma once

#include "module/py_ref.hpp"

#include <initializer_list>
#include <utility>

#include "module/names.hpp"
#include "module/block_triple.hpp"

namespace korvex {

// Creates the class DataReturn with the interpreter's type(), as the module binds it at import.
PyRef makeDataReturnClass(PyObject* moduleName);

// DataReturn as the module binds it at the time of the call, built with the request's triple.
PyRef newResult(PyObject* module, const Request& request);

// Sets the attributes on `result` in order; false with the exception set when one fails.
bool setAttributes(PyObject* result, std::initializer_list<std::pair<Name, PyObject*>> attributes);

}  // namespace korvex
