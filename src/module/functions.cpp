// The module's public functions: argument contracts, then the core's work with the GIL released.
#include "module/functions.hpp"

#include <array>
#include <cstring>
#include <vector>

#include "format/contents.hpp"
#include "format/header.hpp"
#include "module/boundary.hpp"
#include "module/call_file.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/lookup.hpp"
#include "module/names.hpp"
#include "module/path.hpp"
#include "module/state.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

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
    bool opened = false;
    Result<bool> answer = withoutGil([&]() -> Result<bool> {
        auto source = ByteSource::open(path.encoded);
        if (!source.ok()) {
            return source.error();
        }
        opened = true;
        return korvex::isOpusFile(source.value());
    });
    if (!answer.ok()) {
        // Opening names the file in its error; reading it (EIO from a device) does not.
        return raiseError(answer.error(), opened ? nullptr : path.filename.get());
    }
    return PyBool_FromLong(answer.value());
}

// The listing as a new list of (name, dimensions, derivative) tuples.
PyObject* listingToList(const std::vector<ListedBlock>& listing) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(listing.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const ListedBlock& block = listing[i];
        PyObject* triple = PyTuple_Pack(3, dataBlockNameObject(block.dataBlockRow), dimensionNameObject(block.extendType),
                                        listingDerivNameObject(block.derivType));
        if (triple == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), triple);
    }
    return list.release();
}

PyObject* listContents(PyObject* module, PyObject* path) {
    CallFile file;
    if (!file.prepare(module, path)) {
        return nullptr;
    }
    bool openFailed = false;
    std::vector<ReadReport> reports;
    auto listing = withoutGil([&]() -> Result<std::vector<ListedBlock>> {
        auto source = file.open();
        if (!source.ok()) {
            openFailed = true;
            return source.error();
        }
        return readOnNewCursor(source.value(), reports, [](Cursor& cursor) { return korvex::listContents(cursor); });
    });
    reportFailedReads(reports);
    if (!listing.ok()) {
        // Opening names the file in its error; reading it and a seek to a negative offset do not.
        return raiseError(listing.error(), openFailed ? file.filename() : nullptr);
    }
    return listingToList(listing.value());
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

PyMethodDef helpDef = {"help", entryPoint<help>, METH_NOARGS, texts::helpDoc};
PyMethodDef listContentsDef = {"listContents", entryPoint<withState<listContents>>, METH_O, texts::listContentsDoc};
PyMethodDef isOpusFileDef = {"isOpusFile", entryPoint<withState<isOpusFile>>, METH_O, texts::isOpusFileDoc};

}  // namespace korvex
