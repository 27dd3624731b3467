// The file that listContents and getOpusData read, and their magic test.
#pragma once

#include "module/py_ref.hpp"

#include "format/byte_source.hpp"
#include "format/result.hpp"
#include "module/path.hpp"

namespace korvex {

// The file of a listContents or getOpusData call. The magic test goes through the module-global
// isOpusFile as it is bound at the moment of the call. While that is still the module's own function
// and the path is a path, the call opens the file once and makes the test on that opening, as the
// function would; otherwise the global is called, and the file opened again after it: natively for
// a path, and for anything else that open() takes (a file descriptor) through open() itself, read whole.
class CallFile {
public:
    // With the GIL: the magic test unless it is left to open(), and the path converted or the file
    // read through open(). False with the exception set, "Can't process a non-Opus file" included.
    bool prepare(PyObject* module, PyObject* path);
    // Without the GIL: the bytes of the file, or the error of opening it or of its magic test.
    Result<ByteSource> open() const;
    // What an OSError of open() names.
    PyObject* filename() const { return native_.filename.get(); }

private:
    NativePath native_;
    PyRef contents_;
    bool testOnOpen_ = false;
};

}  // namespace korvex
