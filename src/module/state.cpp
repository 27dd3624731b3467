// Building the module state: every part made before any is kept, so a failure keeps nothing.
#include "module/state.hpp"

#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "extract/request.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

PyRef intern(std::string_view text) {
    PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name != nullptr) {
        PyUnicode_InternInPlace(&name);
    }
    return PyRef(name);
}

bool internAll(std::span<PyRef> names, auto textOf) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!(names[i] = intern(textOf(i)))) {
            return false;
        }
    }
    return true;
}

bool importParts(ModuleState& state) {
    PyRef structModule(PyImport_ImportModule("struct"));
    if (!structModule || !(state.structError = PyRef(PyObject_GetAttrString(structModule.get(), "error")))) {
        return false;
    }
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return false;
    }
    PyRef* functions[4] = {&state.numpyEmpty, &state.numpyZeros, &state.numpyDstack, &state.numpyLinspace};
    const char* functionNames[4] = {"empty", "zeros", "dstack", "linspace"};
    for (int i = 0; i < 4; ++i) {
        if (!(*functions[i] = PyRef(PyObject_GetAttrString(numpy.get(), functionNames[i])))) {
            return false;
        }
    }
    PyRef dtype(PyObject_GetAttrString(numpy.get(), "dtype"));
    return dtype && (state.dtypes[0] = PyRef(PyObject_CallFunction(dtype.get(), "s", "float32"))) &&
           (state.dtypes[1] = PyRef(PyObject_CallFunction(dtype.get(), "s", "float64")));
}

bool fillCodes(PyObject* table, PyObject* name, long code) {
    PyRef value(PyLong_FromLong(code));
    return value && PyDict_SetItem(table, name, value.get()) == 0;
}

bool makeRequestTables(ModuleState& state) {
    state.dataBlockCodes = PyRef(PyDict_New());
    state.derivCodes = PyRef(PyDict_New());
    if (!state.dataBlockCodes || !state.derivCodes) {
        return false;
    }
    for (std::size_t row = 0; row < dataBlockDict.size(); ++row) {
        if (!fillCodes(state.dataBlockCodes.get(), state.dataBlockNames[row].get(), static_cast<long>(row))) {
            return false;
        }
    }
    for (std::size_t code = 0; code < derivDict.size(); ++code) {
        const std::string_view text = derivDict[code];
        PyRef name(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!name || !fillCodes(state.derivCodes.get(), name.get(), static_cast<long>(code))) {
            return false;
        }
    }
    return true;
}

bool makeTexts(ModuleState& state) {
    const std::pair<PyRef*, const char*> texts[] = {
        {&state.noDescription, texts::noDescription},
        {&state.singleSpectrumDescription, texts::singleSpectrumDescription},
        {&state.mapCubeDescription, texts::mapCubeDescription},
        {&state.traceMapDescription, texts::traceMapDescription},
        {&state.originalCoordinatesUsed, texts::originalCoordinatesUsed},
    };
    for (const auto& [text, value] : texts) {
        // Interned: immortal where interned strs are (3.12 on), so that the results of calls on
        // several threads share them without writing to their reference counts.
        if (!(*text = PyRef(PyUnicode_InternFromString(value)))) {
            return false;
        }
    }
    return true;
}

}  // namespace

constinit thread_local const ModuleState* detail::callState = nullptr;

ModuleState::~ModuleState() {
    for (auto& slot : keptLabels) {
        if (const KeptLabel* kept = slot.load(std::memory_order_relaxed)) {
            Py_DECREF(kept->text);
            delete kept;
        }
    }
}

void freeModuleState(void* module) {
    auto** state = static_cast<ModuleState**>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (state != nullptr) {
        delete *state;
        *state = nullptr;
    }
}

bool buildModuleState(PyObject* module) {
    std::unique_ptr<ModuleState> state(new (std::nothrow) ModuleState());
    if (!state) {
        PyErr_NoMemory();
        return false;
    }
    state->interpreter = PyInterpreterState_Get();
    constexpr std::string_view readerContexts[3] = {"korvex.readInt", "korvex.readShort", "korvex.readDouble"};
    const bool built =
        importParts(*state) && internAll(state->readerContexts, [&](std::size_t i) { return readerContexts[i]; }) &&
        internAll(state->dataBlockNames, [](std::size_t i) { return dataBlockDict[i].name; }) &&
        internAll(state->dimensionNames, [](std::size_t i) { return dimensionName(i == 0 ? 0 : extendType3D); }) &&
        internAll(state->derivNames, [](std::size_t i) { return listingDerivNames[i]; }) &&
        internAll(state->names, [](std::size_t i) { return std::string_view(nameText(static_cast<Name>(i))); }) &&
        internAll(state->labels, [](std::size_t i) { return labelName(static_cast<Label>(i)); }) &&
        (state->upperName = intern("upper")) && (state->appendName = intern("append")) &&
        makeRequestTables(*state) && makeTexts(*state);
    if (!built) {
        return false;  // the unique_ptr drops every part made
    }
    // The module's from now on: freed by freeModuleState when the module is.
    *static_cast<ModuleState**>(PyModule_GetState(module)) = state.release();
    return true;
}

const ModuleState* callStateHere() {
    const ModuleState* state = detail::callState;
    return state != nullptr && state->interpreter == PyInterpreterState_Get() ? state : nullptr;
}

}  // namespace korvex
