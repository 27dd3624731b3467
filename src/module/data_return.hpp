// The result class DataReturn.
#pragma once

#include "module/py_ref.hpp"

namespace korvex {

// Creates the class DataReturn with the interpreter's type(), as the module binds it at import.
PyRef makeDataReturnClass(PyObject* moduleName);

}  // namespace korvex
