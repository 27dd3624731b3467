// Names looked up in the interpreter at the moment of a call: built-ins and module globals.
#pragma once

#include "module/names.hpp"
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
inline PyRef moduleGlobal(PyObject* module, Name name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), nameObject(name));
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", nameText(name));
    }
    return PyRef::borrow(value);
}

}  // namespace korvex
