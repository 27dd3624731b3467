// Binding of call arguments to named parameters for getOpusData and DataReturn.__init__.
#pragma once

#include "module/py_ref.hpp"

#include <span>

namespace korvex {

// Binds a vectorcall's arguments to `names`, all of them required, each given positionally or by
// keyword. On success every slot of `values` holds a borrowed reference; on failure TypeError is set
// with the messages callers of these functions have always seen, and false is returned.
bool bindArguments(const char* functionName, std::span<const char* const> names, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> values);

}  // namespace korvex
