// The module's public functions: argument contracts, then the core's work with the GIL released.
#include "module/functions.hpp"

#include <array>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "format/contents.hpp"
#include "format/header.hpp"
#include "module/arguments.hpp"
#include "module/errors.hpp"
#include "module/lookup.hpp"
#include "module/names.hpp"
#include "module/path.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

// Runs `work`, which returns a Result, with the GIL released; it must not touch the interpreter.
// A failed allocation becomes an Error, so no C++ exception reaches the interpreter.
template <typename Work>
auto withoutGil(Work&& work) -> decltype(work()) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        auto result = work();
        PyEval_RestoreThread(state);
        return result;
    } catch (const std::bad_alloc&) {
        PyEval_RestoreThread(state);
        return Error::noMemory();
    }
}

// The magic test for what open() takes that is not a path (a file descriptor): through open() itself.
PyObject* isOpusFileThroughOpen(PyObject* argument) {
    PyRef head = readThroughOpen(argument, 4);
    if (!head) {
        return nullptr;
    }
    if (PyBytes_GET_SIZE(head.get()) != 4) {
        return raiseError(Error::shortReadOf(4), nullptr);
    }
    std::uint8_t magic[4];
    std::memcpy(magic, PyBytes_AS_STRING(head.get()), sizeof magic);
    return PyBool_FromLong(isMagic(magic));
}

PyObject* isOpusFile(PyObject* /*module*/, PyObject* argument) {
    NativePath path;
    switch (toNativePath(argument, path)) {
        case PathKind::failed:
            return nullptr;
        case PathKind::other:
            return isOpusFileThroughOpen(argument);
        case PathKind::native:
            break;
    }
    Result<bool> answer = withoutGil([&]() -> Result<bool> {
        auto source = ByteSource::open(path.encoded);
        if (!source.ok()) {
            return source.error();
        }
        return korvex::isOpusFile(source.value());
    });
    if (!answer.ok()) {
        return raiseError(answer.error(), path.filename.get());
    }
    return PyBool_FromLong(answer.value());
}

// The bytes of a bytes object, which must stay alive while they are used.
std::span<const std::uint8_t> bytesOf(PyObject* bytes) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// The listing as a new list of (name, dimensions, derivative) tuples.
PyObject* listingToList(const std::vector<ListedBlock>& listing) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(listing.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const ListedBlock& block = listing[i];
        PyObject* triple = PyTuple_Pack(3, dataBlockNameObject(block.dataBlock), dimensionNameObject(block.extendType),
                                        listingDerivNameObject(block.derivType));
        if (triple == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), triple);
    }
    return list.release();
}

PyObject* listContents(PyObject* module, PyObject* path) {
    PyRef isOpus = moduleGlobal(module, "isOpusFile");
    if (!isOpus) {
        return nullptr;
    }
    PyRef answer(PyObject_CallOneArg(isOpus.get(), path));
    const int opus = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (opus < 0) {
        return nullptr;
    }
    if (opus == 0) {
        PyErr_SetString(PyExc_ValueError, "Can't process a non-Opus file");
        return nullptr;
    }

    // The second opening: natively for a path, through open() for anything else it takes.
    NativePath native;
    PyRef contents;
    switch (toNativePath(path, native)) {
        case PathKind::failed:
            return nullptr;
        case PathKind::other:
            if (!(contents = readThroughOpen(path, -1))) {
                return nullptr;
            }
            break;
        case PathKind::native:
            break;
    }
    bool openFailed = false;
    std::vector<ReadReport> reports;
    auto listing = withoutGil([&]() -> Result<std::vector<ListedBlock>> {
        auto source = contents ? Result<ByteSource>(ByteSource::fromMemory(bytesOf(contents.get())))
                               : ByteSource::open(native.encoded);
        if (!source.ok()) {
            openFailed = true;
            return source.error();
        }
        Cursor cursor(source.value());
        auto listed = korvex::listContents(cursor);
        reports = std::move(cursor.reports);
        return listed;
    });
    reportFailedReads(reports);
    if (!listing.ok()) {
        // Opening names the file in its error; a seek to a negative offset does not.
        return raiseError(listing.error(), openFailed ? native.filename.get() : nullptr);
    }
    return listingToList(listing.value());
}

PyObject* getOpusData(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names = {"path", "datablock"};
    std::array<PyObject*, 2> values{};
    if (!bindArguments("getOpusData", names, args, nargs, kwnames, values)) {
        return nullptr;
    }
    PyObject* path = values[0];
    if (path != Py_None && !PyUnicode_CheckExact(path)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "path",
                     "str", Py_TYPE(path)->tp_name);
        return nullptr;
    }
    PyErr_SetString(PyExc_NotImplementedError, "getOpusData() is not implemented yet");
    return nullptr;
}

PyObject* help(PyObject* /*module*/, PyObject* /*unused*/) {
    PyRef print = builtin("print");
    if (!print) {
        return nullptr;
    }
    for (const char* line : texts::helpLines) {
        PyRef printed(PyObject_CallFunction(print.get(), "s", line));
        if (!printed) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef helpDef = {"help", help, METH_NOARGS, texts::helpDoc};
PyMethodDef listContentsDef = {"listContents", listContents, METH_O, texts::listContentsDoc};
PyMethodDef isOpusFileDef = {"isOpusFile", isOpusFile, METH_O, texts::isOpusFileDoc};
PyMethodDef getOpusDataDef = {"getOpusData",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getOpusData)),
                              METH_FASTCALL | METH_KEYWORDS, texts::getOpusDataDoc};

}  // namespace korvex
