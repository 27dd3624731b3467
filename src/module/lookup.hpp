// Names looked up in the interpreter at the moment of a call: built-ins and module globals.
#pragma once

#include "module/names.hpp"
#include "module/py_ref.hpp"

namespace korvex {

// dict[name] as a new reference, or null when it is missing (or, from 3.13 on, with the exception of
// a failed lookup set). Taken as a new reference where the interpreter offers it, so that another
// thread rebinding the name cannot free the value between the lookup and the increment.
inline PyRef itemOf(PyObject* dict, const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    PyDict_GetItemStringRef(dict, name, &value);
    return PyRef(value);
#else
    return PyRef::borrow(PyDict_GetItemString(dict, name));
#endif
}

// The same for a key that is a str object.
inline PyRef itemOf(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    PyDict_GetItemRef(dict, key, &value);
    return PyRef(value);
#else
    return PyRef::borrow(PyDict_GetItemWithError(dict, key));
#endif
}

// The built-in `name` (open, print) of the running frame's builtins, or null with RuntimeError set.
inline PyRef builtin(const char* name) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyRef value = builtins != nullptr ? itemOf(builtins, name) : PyRef();
    if (!value && !PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "korvex: the builtin %s() is missing", name);
    }
    return value;
}

// The module-global `name`, looked up as Python code would look it up, or null with NameError set.
inline PyRef moduleGlobal(PyObject* module, Name name) {
    PyRef value = itemOf(PyModule_GetDict(module), nameObject(name));
    if (!value && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", nameText(name));
    }
    return value;
}

}  // namespace korvex
