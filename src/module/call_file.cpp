// The magic test through the module namespace, and the opening of a call's file.
#include "module/call_file.hpp"

#include <cstdint>
#include <span>
#include <utility>

#include "format/header.hpp"
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
                break;
        }
    }
    if (!callMagicTest(isOpus.get(), path)) {
        return false;
    }
    switch (toNativePath(path, native_)) {
        case PathKind::failed:
            return false;
        case PathKind::other:
            contents_ = readThroughOpen(path, -1);
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
