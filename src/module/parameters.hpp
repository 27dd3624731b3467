// Parameter records as the `parameters` dict, and the text of files as str.
#pragma once

#include "module/py_ref.hpp"

#include <cstdint>
#include <span>

#include "extract/parameters.hpp"

namespace korvex {

// A str of text bytes from a file, decoded as Windows-1252 (never failing).
PyRef textObject(std::span<const std::uint8_t> bytes);

// A new dict of the records in order: label (str) to int, float or str, later records replacing
// the values of earlier ones, as reading each block into a dict and merging with update() gives.
PyRef parametersToDict(const ParameterList& list);

}  // namespace korvex
