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
};

namespace detail {
// Set by buildModuleState before the module object exists, and never changed nor freed after: the
// calls that read it start from that module, so they see it whole, on any thread, without a lock.
inline const ModuleState* builtState = nullptr;
}  // namespace detail

// Builds the state, all of it or none: false with the exception set when a part cannot be made,
// and then nothing is kept, so that an import tried again builds it anew. A state already built
// (by an import that failed later on) is kept.
bool buildModuleState();

// The state; valid from the module's creation on.
inline const ModuleState& moduleState() {
    return *detail::builtState;
}

}  // namespace korvex
