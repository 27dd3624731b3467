// Turning the core's typed failures into the interpreter's exceptions and unraisable reports.
#pragma once

#include "module/py_ref.hpp"

#include <span>

#include "format/readers.hpp"
#include "format/result.hpp"

namespace korvex {

// Sets the exception for `error`; `filename` (may be null) is named by OSErrors. Returns nullptr.
// An interrupted read raises what the signal handler raised, kept by keepInterruption.
PyObject* raiseError(const Error& error, PyObject* filename);

// With the GIL and an exception set (a signal handler's): takes the exception off the thread and
// keeps it for the raiseError of the interrupted read, so that the interpreter can be called
// until then.
void keepInterruption();

// Passes each failed primitive read to the unraisable-exception hook, in order, with the context
// text "korvex.readInt" (or readShort, readDouble) and the error that reading the value raised.
void reportFailedReads(std::span<const ReadReport> reports);

}  // namespace korvex
