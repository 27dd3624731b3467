// The module's public functions: argument contracts, then the core's work with the GIL released.
#include "module/functions.hpp"

#include <array>
#include <cstring>

#include "format/header.hpp"
#include "module/arguments.hpp"
#include "module/errors.hpp"
#include "module/path.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

// Runs `work` with the GIL released; it must not touch the interpreter.
template <typename Work>
auto withoutGil(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    auto result = work();
    PyEval_RestoreThread(state);
    return result;
}

// The magic test for what open() takes that is not a path (a file descriptor): through open() itself.
PyObject* isOpusFileThroughOpen(PyObject* argument) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* open = builtins != nullptr ? PyDict_GetItemString(builtins, "open") : nullptr;
    if (open == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "korvex: the builtin open() is missing");
        return nullptr;
    }
    PyRef file(PyObject_CallFunction(open, "Os", argument, "rb"));
    if (!file) {
        return nullptr;
    }
    PyRef head(PyObject_CallMethod(file.get(), "read", "i", 4));
    PyRef bytes = head ? PyRef(PyBytes_FromObject(head.get())) : PyRef();
    // Close on every path, so that no descriptor waits for the garbage collector.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef closed(PyObject_CallMethod(file.get(), "close", nullptr));
    if (type != nullptr) {
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    if (!closed) {
        return nullptr;
    }
    if (PyBytes_GET_SIZE(bytes.get()) != 4) {
        return raiseError(Error::shortReadOf(4), nullptr);
    }
    std::uint8_t magic[4];
    std::memcpy(magic, PyBytes_AS_STRING(bytes.get()), sizeof magic);
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

PyObject* listContents(PyObject* /*module*/, PyObject* /*path*/) {
    PyErr_SetString(PyExc_NotImplementedError, "listContents() is not implemented yet");
    return nullptr;
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
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* print = builtins != nullptr ? PyDict_GetItemString(builtins, "print") : nullptr;
    if (print == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "korvex: the builtin print() is missing");
        return nullptr;
    }
    for (const char* line : texts::helpLines) {
        PyRef printed(PyObject_CallFunction(print, "s", line));
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
