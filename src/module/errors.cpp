// Exceptions and unraisable reports for core failures.
#include "module/errors.hpp"

#include <cerrno>

#include "module/state.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

void setStructError(long long width) {
    PyErr_Format(moduleState().structError.get(), "unpack requires a buffer of %lld bytes", width);
}

}  // namespace

PyObject* raiseError(const Error& error, PyObject* filename) {
    switch (error.kind) {
        case ErrorKind::system:
            errno = error.systemError;
            return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
        case ErrorKind::shortRead:
            setStructError(error.value);
            return nullptr;
        case ErrorKind::noMemory:
            return PyErr_NoMemory();
        case ErrorKind::parameterType:
            PyErr_Format(PyExc_ValueError, "Unexpected value for reading parameter type: %lld",
                         static_cast<long long>(error.value));
            return nullptr;
        case ErrorKind::unterminatedParameters:
            PyErr_Format(PyExc_ValueError, "Unterminated parameter block at offset %lld",
                         static_cast<long long>(error.value));
            return nullptr;
        case ErrorKind::storeTablePastEnd:
            PyErr_Format(PyExc_ValueError, "Store table runs past the end of the file at offset %lld",
                         static_cast<long long>(error.value));
            return nullptr;
        case ErrorKind::readLength:
            // What a file object's read() says of such a length.
            PyErr_SetString(PyExc_ValueError, "read length must be non-negative or -1");
            return nullptr;
        case ErrorKind::notOpusFile:
            PyErr_SetString(PyExc_ValueError, texts::notOpusFile);
            return nullptr;
        case ErrorKind::parameterLabel: {
            // The interpreter's own decoder words the error; the core has found the label invalid.
            PyRef decoded(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(error.label.data()),
                                               static_cast<Py_ssize_t>(error.label.size()), "strict"));
            if (decoded) {
                PyErr_SetString(PyExc_SystemError, "korvex: a parameter label was refused as UTF-8 wrongly");
            }
            return nullptr;
        }
    }
    PyErr_SetString(PyExc_SystemError, "korvex: unknown core error");
    return nullptr;
}

void reportFailedReads(std::span<const ReadReport> reports) {
    for (const ReadReport& report : reports) {
        if (report.systemError != 0) {
            errno = report.systemError;
            PyErr_SetFromErrno(PyExc_OSError);
        } else {
            setStructError(static_cast<long long>(widthOf(report.reader)));
        }
        PyErr_WriteUnraisable(moduleState().readerContexts[static_cast<std::size_t>(report.reader)].get());
    }
}

}  // namespace korvex
