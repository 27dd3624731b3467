// Exceptions and unraisable reports for core failures.
#include "module/errors.hpp"

#include <utility>

#include "module/state.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

void setStructError(long long width) {
    PyErr_Format(moduleState().structError.get(), "unpack requires a buffer of %lld bytes", width);
}

// Sets OSError(code, os.strerror(code)[, filename]), which the OSError type turns into its subclass
// for the code (FileNotFoundError, PermissionError ...). Built from the code itself rather than
// through errno and PyErr_SetFromErrno: a module built against another C runtime than the
// interpreter's (MinGW against the MSVC one on Windows) does not share errno with it. The message is
// the interpreter's own os.strerror, so that it reads as open()'s does on each system.
void setSystemError(int code, PyObject* filename) {
    PyRef os(PyImport_ImportModule("os"));
    PyRef message = os ? PyRef(PyObject_CallMethod(os.get(), "strerror", "i", code)) : PyRef();
    if (!message) {
        return;
    }
    PyRef error(filename != nullptr ? PyObject_CallFunction(PyExc_OSError, "iOO", code, message.get(), filename)
                                    : PyObject_CallFunction(PyExc_OSError, "iO", code, message.get()));
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
}

// Sets io.UnsupportedOperation with what a file object's seek() says on a stream.
void setNotSeekable() {
    PyRef io(PyImport_ImportModule("io"));
    PyRef unsupported = io ? PyRef(PyObject_GetAttrString(io.get(), "UnsupportedOperation")) : PyRef();
    if (unsupported) {
        PyErr_SetString(unsupported.get(), "File or stream is not seekable.");
    }
}

// The exception of the last interrupted read on this thread, until raiseError raises it.
thread_local PyObject* keptInterruption = nullptr;

}  // namespace

void keepInterruption() {
#if PY_VERSION_HEX >= 0x030C0000
    Py_XSETREF(keptInterruption, PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    Py_XSETREF(keptInterruption, value);
#endif
}

PyObject* raiseError(const Error& error, PyObject* filename) {
    switch (error.kind) {
        case ErrorKind::system:
            setSystemError(error.systemError, filename);
            return nullptr;
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
        case ErrorKind::notSeekable:
            setNotSeekable();
            return nullptr;
        case ErrorKind::interrupted:
            if (keptInterruption == nullptr) {
                PyErr_SetString(PyExc_SystemError, "korvex: a read was interrupted with no exception");
                return nullptr;
            }
#if PY_VERSION_HEX >= 0x030C0000
            PyErr_SetRaisedException(std::exchange(keptInterruption, nullptr));
#else
            {
                PyObject* value = std::exchange(keptInterruption, nullptr);
                PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
            }
#endif
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
            setSystemError(report.systemError, nullptr);
        } else {
            setStructError(static_cast<long long>(widthOf(report.reader)));
        }
        PyErr_WriteUnraisable(moduleState().readerContexts[static_cast<std::size_t>(report.reader)].get());
    }
}

}  // namespace korvex
