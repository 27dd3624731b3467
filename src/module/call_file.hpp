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
//
// A call never reads or closes a descriptor it does not own. The module's own test reads a
// descriptor through open(), which closes it, so after that test the call raises OSError(EBADF), as
// opening the closed number would, without touching the number, which another thread may hold by
// then. Before a replaced test, the call takes a private duplicate (os.dup) of the descriptor; after
// it, the caller's number must still be open on the same file (os.fstat: st_dev and st_ino) for the
// call to read, through the duplicate only, from its shared offset; otherwise it raises
// OSError(EBADF). The call closes the duplicate and leaves the caller's descriptor open, at the end of
// the file. When the test closes the number and the same file is opened under it again (by another
// thread), the call reads the file through its duplicate.
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
