// The block triple of getOpusData: its items upper-cased, checked, and turned into codes.
#pragma once

#include "module/py_ref.hpp"

#include "extract/request.hpp"

namespace korvex {

struct Request {
    PyRef dataBlockType;  // the items' upper() results, as the messages and the result carry them
    PyRef dimensions;
    PyRef deriv;
    BlockRequest codes{};
};

// Upper-cases items 0, 1 and 2 of `datablock` and checks the dimensions, the data block type and
// the derivative, in that order. False with the exception set: the first check's ValueError, or
// whatever indexing, upper() or building a message raises.
bool parseRequest(PyObject* datablock, Request& request);

// Sets ValueError "No data block exists in the file for: <type> <dimensions> <deriv>".
void raiseNoDataBlock(const Request& request);

// Sets ValueError "No underived data block exists in the file for: <type> <dimensions> <deriv>".
void raiseNoUnderivedBlock(const Request& request);

}  // namespace korvex
