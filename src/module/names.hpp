// The str objects of block names and of the names the module looks up and sets, kept in the
// module state.
#pragma once

#include "module/py_ref.hpp"

#include <cstddef>
#include <cstdint>

namespace korvex {

// Module globals and result attributes, by the names they have in Python.
enum class Name : std::uint8_t {
    isOpusFile,
    DataReturn,
    dataType,
    dimension,
    derivative,
    description,
    x,
    y,
    maxY,
    minY,
    parameters,
    mapX,
    mapY,
    spectra,
    traces,
    labels,
};

inline constexpr std::size_t nameCount = static_cast<std::size_t>(Name::labels) + 1;

// Borrowed references from the state of the call in progress (moduleState()), valid while it lasts.
PyObject* dataBlockNameObject(std::size_t dataBlock);  // the name of row `dataBlock` of dataBlockDict
PyObject* dimensionNameObject(std::int32_t extendType);
PyObject* listingDerivNameObject(std::int32_t derivType);  // derivType 0 to 3
PyObject* nameObject(Name name);
const char* nameText(Name name);

}  // namespace korvex
