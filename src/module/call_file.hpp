// The file that listContents and getOpusData read, and their magic test.
#pragma once

#include "module/py_ref.hpp"

#include <cstdint>

#include "format/byte_source.hpp"
#include "format/result.hpp"
#include "module/path.hpp"

namespace korvex {

// The file of a listContents or getOpusData call. The magic test goes through the module-global
// isOpusFile as it is bound at the moment of the call. While that is still the module's own function
// and the path is a path, the call opens the file once and makes the test on that opening, as the
// function would; otherwise the global is called, and the file opened again after it: natively for
// a path, and for a file descriptor, which open() takes too, through a copy of it (below).
//
// A call never reads or closes a descriptor it does not own. The module's own test reads a
// descriptor through open(), which closes it, so after that test the call raises OSError(EBADF), as
// opening the closed number would, without touching the number, which another thread may hold by
// then. Before a replaced test, the call takes a private duplicate (os.dup) of the descriptor; after
// it, the caller's number must still be open on the same file (os.fstat: st_dev and st_ino) for the
// call to read, through the duplicate only. It reads at absolute offsets, as open() and seek() would,
// whatever the test did to the shared file position, and only what the call needs (pread on POSIX
// systems; on Windows the duplicate's HANDLE, from msvcrt.get_osfhandle, read at offsets, which moves
// the shared position). Otherwise it raises OSError(EBADF). The call closes the duplicate and leaves
// the caller's descriptor open. When the test closes the number and the same file is opened under
// it again (by another thread), the call reads the file through its duplicate.
//
// A pipe or a FIFO, by path or by descriptor, passes or fails the magic test on its first four
// bytes, and is then refused with io.UnsupportedOperation, as seeking to the header is.
class CallFile {
public:
    CallFile() = default;
    CallFile(const CallFile&) = delete;
    CallFile& operator=(const CallFile&) = delete;
    // Closes the descriptor copy, if one was taken (with the GIL).
    ~CallFile();

    // With the GIL: the magic test unless it is left to the opening, and the path converted or the
    // descriptor copied. False with the exception set, "Can't process a non-Opus file" included.
    bool prepare(PyObject* module, PyObject* path);
    // Without the GIL: the file, or the error of opening it, of its magic test or of a stream's seek.
    Result<ByteSource> open();
    // What an OSError of open() names: the path, or the caller's descriptor number; null once the
    // file has been opened, since errors of reading it (its magic test) name no file, as a file
    // object's read() does not.
    PyObject* filename() const { return opened_ ? nullptr : filename_.get(); }

private:
    NativePath native_;
    PyRef filename_;
    PyRef os_;          // the os module, while a copy is held
    PyRef copy_;        // the descriptor copy, as an int
    std::intptr_t copyNative_ = -1;  // the copy as the core reads it: the descriptor, or its HANDLE
    bool testOnOpen_ = false;
    bool opened_ = false;
};

}  // namespace korvex
