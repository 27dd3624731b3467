// The str objects of block names, made once at import and shared by every call.
#pragma once

#include "module/py_ref.hpp"

#include <cstddef>
#include <cstdint>

namespace korvex {

// Makes the names; once, at import.
bool initNames();

// Borrowed references, valid for the life of the process.
PyObject* dataBlockNameObject(std::size_t dataBlock);  // the name of row `dataBlock` of dataBlockDict
PyObject* dimensionNameObject(std::int32_t extendType);
PyObject* listingDerivNameObject(std::int32_t derivType);  // derivType 0 to 3

}  // namespace korvex
