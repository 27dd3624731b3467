// The magic test through the module namespace, and the opening of a call's file.
#include "module/call_file.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <span>
#include <utility>

#include "format/header.hpp"
#include "module/errors.hpp"
#include "module/functions.hpp"
#include "module/lookup.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

// Calls `isOpus(path)`; false with the exception set when it raises or answers false.
bool callMagicTest(PyObject* isOpus, PyObject* path) {
    PyRef answer(PyObject_CallOneArg(isOpus, path));
    const int opus = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (opus == 0) {
        PyErr_SetString(PyExc_ValueError, texts::notOpusFile);
    }
    return opus > 0;
}

bool isOwnFunction(PyObject* function, const PyMethodDef& def) {
    return PyCFunction_Check(function) && reinterpret_cast<PyCFunctionObject*>(function)->m_ml == &def;
}

// Sets what open() raises for a descriptor that is not open: OSError(EBADF) on POSIX systems; on
// Windows the failed handle lookup, ERROR_INVALID_HANDLE (6) with the system's text for it, whose
// errno is EBADF as well.
void raiseClosedDescriptor() {
#ifdef MS_WINDOWS
    constexpr int invalidHandle = 6;
    PyErr_SetFromWindowsErr(invalidHandle);
#else
    raiseError(Error::fromSystem(EBADF), nullptr);
#endif
}

// The core's value for a descriptor copy: the descriptor itself, or on Windows its HANDLE, which
// the interpreter's own C runtime gives (msvcrt.get_osfhandle): the module may be built against
// another runtime, whose descriptors are not the interpreter's. False with the exception set.
bool nativeOf(PyObject* descriptor, std::intptr_t& native) {
#ifdef MS_WINDOWS
    PyRef msvcrt(PyImport_ImportModule("msvcrt"));
    PyRef handle = msvcrt ? PyRef(PyObject_CallMethod(msvcrt.get(), "get_osfhandle", "O", descriptor)) : PyRef();
    if (!handle) {
        return false;
    }
    const long long value = PyLong_AsLongLong(handle.get());
#else
    const long long value = PyLong_AsLongLong(descriptor);
#endif
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    native = static_cast<std::intptr_t>(value);
    return true;
}

// Closes a descriptor copy through os.close, keeping any exception that is set; a failure goes to
// the unraisable-exception hook.
void closeCopy(PyObject* os, PyObject* copy) {
    if (!holdsGil()) {
        return;  // a thread that the interpreter ends mid-call: the process is going away
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef closed(PyObject_CallMethod(os, "close", "O", copy));
    if (!closed) {
        PyErr_WriteUnraisable(copy);
    }
    PyErr_Restore(type, value, traceback);
}

// A private duplicate (os.dup) of the file descriptor that a call is given, taken before a replaced
// magic test runs, so that the call reads only a descriptor it owns. Closed with this object unless
// the call keeps it.
class DescriptorCopy {
public:
    DescriptorCopy() = default;
    DescriptorCopy(const DescriptorCopy&) = delete;
    DescriptorCopy& operator=(const DescriptorCopy&) = delete;
    ~DescriptorCopy() {
        if (copy_) {
            closeCopy(os_.get(), copy_.get());
        }
    }

    // Duplicates `argument` when open() would take it as a descriptor: not a path, an integer
    // (__index__) from 0 to INT_MAX. A failed os.dup is kept for after the magic test, whose errors
    // come first. False with the exception set when os cannot be imported.
    bool take(PyObject* argument) {
        if (isPathArgument(argument) || !PyIndex_Check(argument)) {
            return true;
        }
        PyRef number(PyNumber_Index(argument));
        int overflow = 0;
        const long long value = number ? PyLong_AsLongLongAndOverflow(number.get(), &overflow) : -1;
        if (!number || overflow != 0 || value < 0 || value > INT_MAX) {
            // open() refuses it, and names no descriptor in doing so.
            PyErr_Clear();
            return true;
        }
        os_ = PyRef(PyImport_ImportModule("os"));
        if (!os_) {
            return false;
        }
        number_ = std::move(number);
        copy_ = PyRef(PyObject_CallMethod(os_.get(), "dup", "O", number_.get()));
        if (!copy_) {
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            dupError_ = {PyRef(type), PyRef(value), PyRef(traceback)};
        }
        return true;
    }

    bool taken() const { return static_cast<bool>(number_); }
    // The caller's descriptor, as an int.
    PyObject* number() const { return number_.get(); }
    PyRef os() { return PyRef::borrow(os_.get()); }

    // After the magic test: hands over the copy, as long as the caller's number still names the file
    // the copy was taken of (open, same st_dev and st_ino). Otherwise the test has closed the
    // caller's descriptor, and the number, if open again, belongs to someone else: the call raises
    // what opening a closed descriptor raises (raiseClosedDescriptor). Null with the exception set.
    PyRef keepIfStillCallers() {
        if (!copy_) {
            PyErr_Restore(dupError_[0].release(), dupError_[1].release(), dupError_[2].release());
            return PyRef();
        }
        PyRef callers(PyObject_CallMethod(os_.get(), "fstat", "O", number_.get()));
        if (!callers) {
            return PyRef();
        }
        PyRef own(PyObject_CallMethod(os_.get(), "fstat", "O", copy_.get()));
        if (!own) {
            return PyRef();
        }
        for (const char* field : {"st_dev", "st_ino"}) {
            PyRef callersField(PyObject_GetAttrString(callers.get(), field));
            PyRef ownField(PyObject_GetAttrString(own.get(), field));
            const int same = callersField && ownField
                                 ? PyObject_RichCompareBool(callersField.get(), ownField.get(), Py_EQ)
                                 : -1;
            if (same < 0) {
                return PyRef();
            }
            if (same == 0) {
                raiseClosedDescriptor();
                return PyRef();
            }
        }
        return std::move(copy_);
    }

private:
    PyRef os_;
    PyRef number_;  // the caller's descriptor, as an int
    PyRef copy_;    // the duplicate, as an int; null when os.dup failed or once handed over
    std::array<PyRef, 3> dupError_;  // the exception of os.dup, raised after the magic test
};

}  // namespace

CallFile::~CallFile() {
    if (copy_) {
        closeCopy(os_.get(), copy_.get());
    }
}

bool CallFile::prepare(PyObject* module, PyObject* path) {
    PyRef isOpus = moduleGlobal(module, Name::isOpusFile);
    if (!isOpus) {
        return false;
    }
    if (isOwnFunction(isOpus.get(), isOpusFileDef)) {
        // The function converts the path first, with the same errors.
        switch (toNativePath(path, native_)) {
            case PathKind::failed:
                return false;
            case PathKind::native:
                filename_ = PyRef::borrow(native_.filename.get());
                testOnOpen_ = true;
                return true;
            case PathKind::other:
                // The function tests a descriptor through open(), which closes it: the number is
                // no longer the caller's, whoever holds it by now, and is not opened again.
                if (callMagicTest(isOpus.get(), path)) {
                    raiseClosedDescriptor();
                }
                return false;
        }
    }
    DescriptorCopy copy;
    if (!copy.take(path) || !callMagicTest(isOpus.get(), path)) {
        return false;
    }
    switch (toNativePath(path, native_)) {
        case PathKind::failed:
            return false;
        case PathKind::native:
            filename_ = PyRef::borrow(native_.filename.get());
            return true;
        case PathKind::other:
            break;
    }
    if (!copy.taken()) {
        // Neither a path nor a descriptor: open() raises for it, and its error is the call's.
        if (PyRef(readThroughOpen(path, 0))) {
            PyErr_SetString(PyExc_SystemError, "korvex: open() took an argument that is neither a path nor a descriptor");
        }
        return false;
    }
    PyRef kept = copy.keepIfStillCallers();
    if (!kept) {
        return false;
    }
    os_ = copy.os();
    copy_ = std::move(kept);
    filename_ = PyRef::borrow(copy.number());
    return nativeOf(copy_.get(), copyNative_);
}

Result<ByteSource> CallFile::open() {
    if (copy_) {
        auto source = ByteSource::borrow(copyNative_);
        opened_ = source.ok();
        return requireSeekable(std::move(source));
    }
    auto source = ByteSource::open(native_.encoded);
    opened_ = source.ok();
    return testOnOpen_ ? requireMagic(std::move(source)) : requireSeekable(std::move(source));
}

}  // namespace korvex
