// Path arguments: what the interpreter's open() would open, as a native path.
#pragma once

#include "module/py_ref.hpp"

#include <string>

namespace korvex {

struct NativePath {
    PyRef filename;       // the str or bytes that open() names in its errors
    std::string encoded;  // as the core opens it: file-system encoding, UTF-8 on Windows; no NUL
};

enum class PathKind { native, other, failed };

// Whether toNativePath takes `argument` as a path: a str, bytes or os.PathLike.
bool isPathArgument(PyObject* argument);

// Decodes a str, bytes or os.PathLike argument into `path` (native). Any other object is `other`:
// open() may still take it (a file descriptor), so the caller hands it to open() itself. `failed`
// means the exception open() raises for that argument has been set.
PathKind toNativePath(PyObject* argument, NativePath& path);

// Reads through the interpreter's open(argument, "rb") what toNativePath leaves to it: up to
// `count` bytes from the start, as a bytes object. The file is closed on every path, so no
// descriptor waits for the garbage collector. Null with the exception set on failure.
PyRef readThroughOpen(PyObject* argument, Py_ssize_t count);

}  // namespace korvex
