// getOpusData: one data block of a file with its parameters, as a DataReturn.
#pragma once

#include "module/py_ref.hpp"

namespace korvex {

// Makes what the builders need (NumPy's functions, the request tables, label and attribute
// names); once, at import.
bool initGetOpusData();

extern PyMethodDef getOpusDataDef;

}  // namespace korvex
