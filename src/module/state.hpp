// ModuleState: every object the module makes at import and its calls read afterwards, in one owner.
#pragma once

#include "module/py_ref.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "format/block_type.hpp"
#include "module/labels.hpp"
#include "module/names.hpp"

namespace korvex {

// A parameter label's str with the key of its bytes, kept by the first call that meets the label.
struct KeptLabel {
    std::uint64_t key;
    PyObject* text;
};
inline constexpr int labelSlotBits = 10;

struct ModuleState {
    // The interpreter whose start-up made the state; its objects belong to that one.
    PyInterpreterState* interpreter = nullptr;

    // The readers' failures: struct.error and the context texts of their unraisable reports.
    PyRef structError;
    std::array<PyRef, 3> readerContexts;  // readInt, readShort, readDouble

    // NumPy's functions and dtypes, taken from NumPy itself whatever the global `np` is rebound to.
    PyRef numpyEmpty;
    PyRef numpyZeros;
    PyRef numpyDstack;
    PyRef numpyLinspace;
    std::array<PyRef, 2> dtypes;  // float32, float64

    // Interned names: dataBlockDict's, "2D" and "3D", the listing's derivatives, the Names, the Labels.
    std::array<PyRef, dataBlockDict.size()> dataBlockNames;
    std::array<PyRef, 2> dimensionNames;
    std::array<PyRef, listingDerivNames.size()> derivNames;
    std::array<PyRef, nameCount> names;
    std::array<PyRef, labelCount> labels;

    // The methods called by name: str.upper on the request's items, list.append on trace labels.
    PyRef upperName;
    PyRef appendName;

    // The request's tables: data block type name to row of dataBlockDict, derivDict's name to
    // derivType.
    PyRef dataBlockCodes;
    PyRef derivCodes;

    // The descriptions results are given, and the line a derived map prints.
    PyRef noDescription;
    PyRef singleSpectrumDescription;
    PyRef mapCubeDescription;
    PyRef traceMapDescription;
    PyRef originalCoordinatesUsed;

    // Parameter labels met in files. The one part that calls fill: each slot once, never changed
    // after (parameters.cpp).
    mutable std::array<std::atomic<const KeptLabel*>, std::size_t{1} << labelSlotBits> keptLabels{};

    ModuleState() = default;
    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;
    ~ModuleState();  // drops the kept labels with the rest; with the GIL of the state's interpreter
};

// Each module object owns one state, made by its start-up and freed with it: every interpreter that
// imports korvex runs the start-up for a module of its own, and its calls read the objects that its
// own start-up made, never another interpreter's.

// The `m_size` and `m_free` of the module's definition: the module keeps a pointer to its state.
inline constexpr Py_ssize_t moduleStateSize = sizeof(ModuleState*);
void freeModuleState(void* module);

// Builds the state of `module`, all of it or none: false with the exception set when a part cannot
// be made, and then the module holds none.
bool buildModuleState(PyObject* module);

namespace detail {
// The state of the call in progress on this thread (CallState), or null between calls.
extern constinit thread_local const ModuleState* callState;

inline const ModuleState* stateOf(PyObject* module) {
    return *static_cast<const ModuleState* const*>(PyModule_GetState(module));
}
}  // namespace detail

// Makes the state of `module` (the `self` of one of its functions) the one that moduleState()
// answers on this thread while the object lives, then gives back the one before it: a call made
// inside the call, by Python code it runs, may be another module's.
class CallState {
public:
    explicit CallState(PyObject* module) noexcept : previous_(detail::callState) {
        detail::callState = detail::stateOf(module);
    }
    CallState(const CallState&) = delete;
    CallState& operator=(const CallState&) = delete;
    ~CallState() {
        detail::callState = previous_;
    }

private:
    const ModuleState* previous_;
};

// `withState<function>`: a module function run with its module's state made the call's.
template <PyObject* (*function)(PyObject*, PyObject*)>
PyObject* withState(PyObject* module, PyObject* argument) {
    CallState state(module);
    return function(module, argument);
}

template <PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* withState(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    CallState state(module);
    return function(module, args, nargs, kwnames);
}

// The state of the call in progress on this thread; only inside a function run withState.
inline const ModuleState& moduleState() {
    return *detail::callState;
}

// The same when there is one and it is the running interpreter's, else null: for the methods of
// DataReturn, which Python code may call outside any call of the module's functions.
const ModuleState* callStateHere();

}  // namespace korvex
