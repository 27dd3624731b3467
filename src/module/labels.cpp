// The labels' texts and their lookup in a parameters dict.
#include "module/labels.hpp"

#include <array>

#include "module/state.hpp"

namespace korvex {

namespace {

constexpr std::array<const char*, labelCount> labelNames = {"NPT", "FXV", "LXV", "AOX", "AOY", "DDX",
                                                            "DDY", "NPX", "NPY", "MXY", "MNY"};

}  // namespace

const char* labelName(Label label) {
    return labelNames[static_cast<std::size_t>(label)];
}

PyObject* labelText(Label label) {
    return moduleState().labels[static_cast<std::size_t>(label)].get();
}

PyObject* lookUp(PyObject* parameters, Label label) {
    PyObject* value = PyDict_GetItemWithError(parameters, labelText(label));
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_SetObject(PyExc_KeyError, labelText(label));
    }
    return value;
}

PyObject* raiseMissingLabel(std::string_view label) {
    PyRef text(PyUnicode_FromStringAndSize(label.data(), static_cast<Py_ssize_t>(label.size())));
    if (text) {
        PyErr_SetObject(PyExc_KeyError, text.get());
    }
    return nullptr;
}

}  // namespace korvex
