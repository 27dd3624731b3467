// The file that listContents and getOpusData read after the magic test.
#pragma once

#include "module/py_ref.hpp"

#include "format/byte_source.hpp"
#include "format/result.hpp"
#include "module/path.hpp"

namespace korvex {

// Calls the module-global isOpusFile(path), as it is bound at this moment. Returns false with the
// exception set when it raises, or when it answers false ("Can't process a non-Opus file").
bool requireOpusFile(PyObject* module, PyObject* path);

// The second opening of a call's file: natively for a path, and for anything else that open()
// takes (a file descriptor) through open() itself, read whole.
class CallFile {
public:
    // With the GIL: converts `path`, or reads the file through open(). False with the exception set.
    bool prepare(PyObject* path);
    // Without the GIL: the bytes of the file.
    Result<ByteSource> open() const;
    // What an OSError of open() names.
    PyObject* filename() const { return native_.filename.get(); }

private:
    NativePath native_;
    PyRef contents_;
};

}  // namespace korvex
