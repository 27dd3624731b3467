// Labels, axes and the result object of the builders.
#include "module/builders.hpp"

#include <array>

#include "extract/values.hpp"
#include "module/arrays.hpp"
#include "module/lookup.hpp"

namespace korvex {

namespace {

constexpr std::array<const char*, 11> labelTexts = {"NPT", "FXV", "LXV", "AOX", "AOY", "DDX",
                                                    "DDY", "NPX", "NPY", "MXY", "MNY"};

// Set once at import and never changed, so every thread may read them.
std::array<PyObject*, labelTexts.size()> labels{};

}  // namespace

bool initBuilders() {
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (labels[i] == nullptr && (labels[i] = PyUnicode_InternFromString(labelTexts[i])) == nullptr) {
            return false;
        }
    }
    return true;
}

PyObject* labelText(Label label) {
    return labels[static_cast<std::size_t>(label)];
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

PyRef evenAxis(const AxisPlan& plan, PyObject* first, PyObject* last, PyObject* count) {
    if (plan.spacing != AxisPlan::Spacing::native) {
        return numpyLinspace(first, last, count);
    }
    PyRef axis = newArray(plan.count, ArrayType::float64);
    BufferView values;
    if (!axis || !values.acquire(axis.get())) {
        return PyRef();
    }
    // Long axes are spaced with the GIL released; short ones are not worth the switch.
    constexpr long long longAxis = 1 << 16;
    if (plan.count >= longAxis) {
        Py_BEGIN_ALLOW_THREADS
        evenlySpaced(plan.first, plan.last, values.as<double>());
        Py_END_ALLOW_THREADS
    } else {
        evenlySpaced(plan.first, plan.last, values.as<double>());
    }
    return axis;
}

PyRef newResult(PyObject* module, const Request& request) {
    PyRef cls = moduleGlobal(module, Name::DataReturn);
    if (!cls) {
        return PyRef();
    }
    PyObject* args[3] = {request.dataBlockType.get(), request.dimensions.get(), request.deriv.get()};
    return PyRef(PyObject_Vectorcall(cls.get(), args, 3, nullptr));
}

bool setAttributes(PyObject* result, std::initializer_list<std::pair<Name, PyObject*>> attributes) {
    for (const auto& [name, value] : attributes) {
        if (PyObject_SetAttr(result, nameObject(name), value) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace korvex
