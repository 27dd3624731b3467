// Names looked up in the interpreter at the moment of a call: built-ins and module globals.
#pragma once

#include "module/py_ref.hpp"

namespace korvex {

// The built-in `name` (open, print) of the running frame's builtins, or null with RuntimeError set.
inline PyRef builtin(const char* name) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* value = builtins != nullptr ? PyDict_GetItemString(builtins, name) : nullptr;
    if (value == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "korvex: the builtin %s() is missing", name);
    }
    return PyRef::borrow(value);
}

// The module-global `name`, looked up as Python code would look it up, or null with NameError set.
inline PyRef moduleGlobal(PyObject* module, const char* name) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    }
    return PyRef::borrow(value);
}

}  // namespace korvex
