// Turning the core's typed failures into the interpreter's exceptions and unraisable reports.
#pragma once

#include "module/py_ref.hpp"

#include <span>

#include "format/readers.hpp"
#include "format/result.hpp"

namespace korvex {

// Sets the exception for `error`; `filename` (may be null) is named by OSErrors. Returns nullptr.
PyObject* raiseError(const Error& error, PyObject* filename);

// Passes each failed primitive read to the unraisable-exception hook, in order, with the context
// text "korvex.readInt" (or readShort, readDouble) and the error that reading the value raised.
void reportFailedReads(std::span<const ReadReport> reports);

}  // namespace korvex
