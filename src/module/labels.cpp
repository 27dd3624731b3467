// The labels' texts and their lookup in a parameters dict.
#include "module/labels.hpp"

#include <string>

#include "extract/assembly.hpp"
#include "module/state.hpp"

namespace korvex {

namespace {

// Each Label names its own text in the core's table.
consteval bool labelIsAt(Label label, std::string_view text) {
    return mapLabel(text) == static_cast<std::size_t>(label);
}

}  // namespace

static_assert(labelCount == mapLabels.size() &&
              labelIsAt(Label::NPT, "NPT") && labelIsAt(Label::FXV, "FXV") && labelIsAt(Label::LXV, "LXV") &&
              labelIsAt(Label::AOX, "AOX") && labelIsAt(Label::AOY, "AOY") && labelIsAt(Label::DDX, "DDX") &&
              labelIsAt(Label::DDY, "DDY") && labelIsAt(Label::NPX, "NPX") && labelIsAt(Label::NPY, "NPY") &&
              labelIsAt(Label::MXY, "MXY") && labelIsAt(Label::MNY, "MNY"));

std::string_view labelName(Label label) {
    return mapLabels[static_cast<std::size_t>(label)];
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

PyObject* raiseCountPastFile(const CountPastFile& past) {
    const std::string label(past.label);
    return PyErr_Format(PyExc_ValueError, "%s of %lld is more than a file of %lld bytes can hold", label.c_str(),
                        static_cast<long long>(past.count), static_cast<long long>(past.fileSize));
}

}  // namespace korvex
