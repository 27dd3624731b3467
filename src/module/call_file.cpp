// The magic test through the module namespace, and the second opening of a call's file.
#include "module/call_file.hpp"

#include <cstdint>
#include <span>

#include "module/lookup.hpp"

namespace korvex {

bool requireOpusFile(PyObject* module, PyObject* path) {
    PyRef isOpus = moduleGlobal(module, "isOpusFile");
    if (!isOpus) {
        return false;
    }
    PyRef answer(PyObject_CallOneArg(isOpus.get(), path));
    const int opus = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (opus == 0) {
        PyErr_SetString(PyExc_ValueError, "Can't process a non-Opus file");
    }
    return opus > 0;
}

bool CallFile::prepare(PyObject* path) {
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
    if (!contents_) {
        return ByteSource::open(native_.encoded);
    }
    // The bytes object lives as long as this CallFile, which outlives the source.
    return ByteSource::fromMemory({reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(contents_.get())),
                                   static_cast<std::size_t>(PyBytes_GET_SIZE(contents_.get()))});
}

}  // namespace korvex
