// DataReturn: a plain attribute holder made by type(), whose methods bind like Python functions.
#include "module/data_return.hpp"

#include <array>
#include <utility>

#include "module/arguments.hpp"
#include "module/boundary.hpp"
#include "module/lookup.hpp"
#include "module/names.hpp"
#include "module/state.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

// The str of an attribute name (or, for Name::description, of the description that a new result
// has): the state's when a call of this interpreter's module is building the result, else a str of
// its own, for a DataReturn made or printed by Python code outside any call of the module.
PyRef attributeText(const ModuleState* state, Name name) {
    if (state != nullptr) {
        return PyRef::borrow(state->names[static_cast<std::size_t>(name)].get());
    }
    return PyRef(PyUnicode_InternFromString(nameText(name)));
}

PyRef noDescriptionText(const ModuleState* state) {
    return state != nullptr ? PyRef::borrow(state->noDescription.get())
                            : PyRef(PyUnicode_InternFromString(texts::noDescription));
}

PyObject* dataReturnInit(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 4> names = {"self", "dataBlockType", "dimensions", "deriv"};
    std::array<PyObject*, 4> values{};
    if (!bindArguments("__init__", names, args, nargs, kwnames, values)) {
        return nullptr;
    }
    PyObject* self = values[0];
    const ModuleState* state = callStateHere();
    static constexpr std::array<Name, 3> attributes = {Name::dataType, Name::dimension, Name::derivative};
    for (std::size_t i = 0; i < attributes.size(); ++i) {
        PyRef name = attributeText(state, attributes[i]);
        if (!name || PyObject_SetAttr(self, name.get(), values[i + 1]) != 0) {
            return nullptr;
        }
    }
    PyRef name = attributeText(state, Name::description);
    PyRef description = noDescriptionText(state);
    if (!name || !description || PyObject_SetAttr(self, name.get(), description.get()) != 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// __str__ and __repr__ both answer with the current description, unchanged.
PyObject* dataReturnDescription(PyObject* /*cls*/, PyObject* self) {
    PyRef name = attributeText(callStateHere(), Name::description);
    return name ? PyObject_GetAttr(self, name.get()) : nullptr;
}

PyMethodDef initDef = {"__init__",
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entryPoint<dataReturnInit>)),
                       METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef strDef = {"__str__", entryPoint<dataReturnDescription>, METH_O, nullptr};
PyMethodDef reprDef = {"__repr__", entryPoint<dataReturnDescription>, METH_O, nullptr};

}  // namespace

PyRef newResult(PyObject* module, const Request& request) {
    PyRef cls = moduleGlobal(module, Name::DataReturn);
    if (!cls) {
        return PyRef();
    }
    PyObject* args[3] = {request.dataBlockType.get(), request.dimensions.get(), request.deriv.get()};
    return PyRef(PyObject_Vectorcall(cls.get(), args, 3, nullptr));
}

bool setAttributes(PyObject* result, std::initializer_list<std::pair<Name, PyObject*>> attributes) {
    const ModuleState& state = moduleState();
    for (const auto& [name, value] : attributes) {
        if (PyObject_SetAttr(result, state.names[static_cast<std::size_t>(name)].get(), value) != 0) {
            return false;
        }
    }
    return true;
}

PyRef makeDataReturnClass(PyObject* moduleName) {
    std::array<PyMethodDef*, 3> methods = {&initDef, &strDef, &reprDef};
    PyRef namespaceDict(PyDict_New());
    PyRef qualname(PyUnicode_FromString("DataReturn"));
    PyRef doc(PyUnicode_FromString(texts::dataReturnDoc));
    if (!namespaceDict || !qualname || !doc || PyDict_SetItemString(namespaceDict.get(), "__module__", moduleName) != 0 ||
        PyDict_SetItemString(namespaceDict.get(), "__qualname__", qualname.get()) != 0 ||
        PyDict_SetItemString(namespaceDict.get(), "__doc__", doc.get()) != 0) {
        return PyRef();
    }
    // The methods take their places in the namespace now, so the class dict keeps the order
    // __init__, __str__, __repr__; their real values need the class itself (see below).
    for (PyMethodDef* method : methods) {
        if (PyDict_SetItemString(namespaceDict.get(), method->ml_name, Py_None) != 0) {
            return PyRef();
        }
    }
    PyRef bases(PyTuple_New(0));
    if (!bases) {
        return PyRef();
    }
    PyRef cls(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", "DataReturn", bases.get(),
                                    namespaceDict.get()));
    if (!cls) {
        return PyRef();
    }
    for (PyMethodDef* method : methods) {
        // A built-in function whose self is the class reports the qualified name "DataReturn.<name>";
        // wrapped as an instance method it binds to instances like a function defined in Python.
        PyRef function(PyCFunction_NewEx(method, cls.get(), moduleName));
        if (!function) {
            return PyRef();
        }
        PyRef bound(PyInstanceMethod_New(function.get()));
        if (!bound || PyObject_SetAttrString(cls.get(), method->ml_name, bound.get()) != 0) {
            return PyRef();
        }
    }
    return cls;
}

}  // namespace korvex
