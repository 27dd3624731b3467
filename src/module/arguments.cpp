// Argument binding with the counting rules and messages of the original functions.
#include "module/arguments.hpp"

namespace korvex {

namespace {

bool wrongCount(const char* functionName, std::size_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", functionName,
                 "exactly", static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s", given);
    return false;
}

bool isName(PyObject* key, const char* name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

}  // namespace

bool bindArguments(const char* functionName, std::span<const char* const> names, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> values) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    const Py_ssize_t keywordCount = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywordCount == 0) {
        if (nargs != count) {
            return wrongCount(functionName, names.size(), nargs);
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            values[i] = args[i];
        }
        return true;
    }
    if (nargs > count) {
        return wrongCount(functionName, names.size(), nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[i] = args[i];
    }
    // Parameters after the positional ones are filled by keyword in declaration order; the count
    // reported for a missing one is the number filled before it.
    Py_ssize_t unusedKeywords = keywordCount;
    for (Py_ssize_t i = nargs; i < count; ++i) {
        values[i] = nullptr;
        for (Py_ssize_t k = 0; k < keywordCount; ++k) {
            if (isName(PyTuple_GET_ITEM(kwnames, k), names[i])) {
                values[i] = args[nargs + k];
                --unusedKeywords;
                break;
            }
        }
        if (values[i] == nullptr) {
            return wrongCount(functionName, names.size(), i);
        }
    }
    if (unusedKeywords == 0) {
        return true;
    }
    for (Py_ssize_t k = 0; k < keywordCount; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", functionName);
            return false;
        }
        bool bound = false;
        for (Py_ssize_t i = nargs; i < count && !bound; ++i) {
            bound = isName(key, names[i]);
        }
        if (bound) {
            continue;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            if (isName(key, names[i])) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", functionName,
                             key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", functionName, key);
        return false;
    }
    return true;
}

}  // namespace korvex
