// The "3D" branch of getOpusData: map cubes and trace maps.
#pragma once

#include "module/py_ref.hpp"

#include <optional>

#include "extract/parameters.hpp"
#include "extract/request.hpp"
#include "format/byte_source.hpp"
#include "module/block_triple.hpp"

namespace korvex {

// Builds the result of a "3D" request from the located blocks and the merged parameters (their
// records `list` and their dict `parameters`); closes
// `source` once the data is read. Null with the exception set on failure.
PyObject* mapData(PyObject* module, const Request& request, std::optional<ByteSource>& source,
                  const BlockLocations& locations, const ParameterList& list, PyObject* parameters);

}  // namespace korvex
