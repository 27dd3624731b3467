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

// A private duplicate (os.dup) of the file descriptor that a call is given, taken before a replaced
// magic test runs, so that the call reads only a descriptor it owns. Closed with this object.
class DescriptorCopy {
public:
    DescriptorCopy() = default;
    DescriptorCopy(const DescriptorCopy&) = delete;
    DescriptorCopy& operator=(const DescriptorCopy&) = delete;
    ~DescriptorCopy() {
        if (!copy_ || !holdsGil()) {
            return;
        }
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyRef closed(PyObject_CallMethod(os_.get(), "close", "O", copy_.get()));
        if (!closed) {
            PyErr_WriteUnraisable(copy_.get());
        }
        PyErr_Restore(type, value, traceback);
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

    // After the magic test: the file's bytes read through the copy, as long as the caller's number
    // still names the file the copy was taken of (open, same st_dev and st_ino). Otherwise the test
    // has closed the caller's descriptor, and the number, if open again, belongs to someone else:
    // the call raises what opening a closed descriptor raises (raiseClosedDescriptor).
    PyRef readIfStillCallers() {
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
        return readThroughOpen(copy_.get(), -1, false);
    }

private:
    PyRef os_;
    PyRef number_;  // the caller's descriptor, as an int
    PyRef copy_;    // the duplicate, as an int; null when os.dup failed
    std::array<PyRef, 3> dupError_;  // the exception of os.dup, raised after the magic test
};

}  // namespace

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
        case PathKind::other:
            contents_ = copy.taken() ? copy.readIfStillCallers() : readThroughOpen(path, -1);
            return static_cast<bool>(contents_);
        case PathKind::native:
            return true;
    }
    return false;
}

Result<ByteSource> CallFile::open() const {
    if (contents_) {
        // The bytes object lives as long as this CallFile, which outlives the source.
        return ByteSource::fromMemory({reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(contents_.get())),
                                       static_cast<std::size_t>(PyBytes_GET_SIZE(contents_.get()))});
    }
    auto source = ByteSource::open(native_.encoded);
    return testOnOpen_ ? requireMagic(std::move(source)) : std::move(source);
}

}  // namespace korvex
