// The Python-visible functions help, listContents, isOpusFile and getOpusData.
#pragma once

#include "module/py_ref.hpp"

namespace korvex {

extern PyMethodDef helpDef;
extern PyMethodDef listContentsDef;
extern PyMethodDef isOpusFileDef;
extern PyMethodDef getOpusDataDef;  // get_opus_data.cpp

}  // namespace korvex
