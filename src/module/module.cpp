// Module start-up: PyInit_korvex binds the module's names in their fixed order.
#include <array>
#include <string>

#include "module/boundary.hpp"
#include "module/data_return.hpp"
#include "module/functions.hpp"
#include "module/py_ref.hpp"
#include "module/state.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "korvex",
    nullptr,  // no module docstring
    // Single-phase initialisation with a state of the module's own: an m_size of 0 or more makes
    // the interpreter run PyInit_korvex again for each interpreter that imports korvex (-1 would
    // copy the first module's namespace, whose functions call through the first interpreter's
    // module), and the state is freed with its module.
    moduleStateSize,
    nullptr,  // the functions are bound one by one, in order, by initModule
    nullptr,
    nullptr,
    nullptr,
    freeModuleState,
};

// Warns when the interpreter's major digit or first minor digit differs from the one built against.
bool checkBinaryVersion() {
    // Both texts are cut to three characters, so "3.11" reads "3.1".
    const std::string built =
        (std::to_string(PY_MAJOR_VERSION) + "." + std::to_string(PY_MINOR_VERSION)).substr(0, 3);
    const std::string running = std::string(Py_GetVersion()).substr(0, 3);
    if (running.size() < 3 || built[0] != running[0] || built[2] != running[2]) {
        PyRef message(PyUnicode_FromFormat("compiletime version %s of module '%.100s' does not match runtime version %s",
                                           built.c_str(), "korvex", running.c_str()));
        return message && PyErr_WarnEx(nullptr, PyUnicode_AsUTF8(message.get()), 1) == 0;
    }
    return true;
}

bool bind(PyObject* module, const char* name, PyRef value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

PyRef importFrom(const char* moduleName, const char* name) {
    PyRef imported(PyImport_ImportModule(moduleName));
    if (!imported) {
        return PyRef();
    }
    PyRef value(PyObject_GetAttrString(imported.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %s", name);
    }
    return value;
}

PyRef makeParamDict() {
    PyRef table(PyDict_New());
    if (!table) {
        return table;
    }
    for (const auto& [label, name] : texts::parameterNames) {
        PyRef value(PyUnicode_FromString(name));
        if (!value || PyDict_SetItemString(table.get(), label, value.get()) != 0) {
            return PyRef();
        }
    }
    return table;
}

PyObject* initModule() {
    if (!checkBinaryVersion()) {
        return nullptr;
    }
    PyRef module(PyModule_Create(&moduleDef));
    if (!module || !bind(module.get(), "__builtins__", PyRef(PyImport_ImportModule("builtins")))) {
        return nullptr;
    }
    PyRef name(PyModule_GetNameObject(module.get()));
    if (!name || !buildModuleState(module.get())) {
        return nullptr;
    }
    if (!bind(module.get(), "unpack", importFrom("struct", "unpack")) ||
        !bind(module.get(), "np", PyRef(PyImport_ImportModule("numpy"))) ||
        !bind(module.get(), "array", PyRef(PyImport_ImportModule("array"))) ||
        !bind(module.get(), "DataReturn", makeDataReturnClass(name.get()))) {
        return nullptr;
    }
    for (PyMethodDef* function : {&helpDef, &listContentsDef, &isOpusFileDef, &getOpusDataDef}) {
        if (!bind(module.get(), function->ml_name, PyRef(PyCFunction_NewEx(function, module.get(), name.get())))) {
            return nullptr;
        }
    }
    if (!bind(module.get(), "paramDict", makeParamDict()) || !bind(module.get(), "__test__", PyRef(PyDict_New()))) {
        return nullptr;
    }
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) != 0) {
        return nullptr;
    }
#endif
    return module.release();
}

}  // namespace

}  // namespace korvex

PyMODINIT_FUNC PyInit_korvex() {
    return korvex::entryPoint<korvex::initModule>();
}
