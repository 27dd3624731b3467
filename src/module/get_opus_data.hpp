// getOpusData: one data block of a file with its parameters, as a DataReturn.
#pragma once

#include "module/py_ref.hpp"

namespace korvex {

extern PyMethodDef getOpusDataDef;

}  // namespace korvex
