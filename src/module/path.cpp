// Conversion of path arguments, with the errors the interpreter's open() raises for them.
#include "module/path.hpp"

#include <cstring>

#include "module/lookup.hpp"

namespace korvex {

namespace {

// The bytes of the path `filename` (a str or bytes) as the core opens it, or null with the exception
// set that open() raises for it.
PyRef encodePath(PyObject* filename) {
#ifdef _WIN32
    // Windows names files in UTF-16, and the core opens a file by the UTF-8 form of its name. open()
    // takes a str as it is and decodes bytes with the file-system encoding (UTF-8, or the ANSI code
    // page in legacy mode), refusing a NUL in either: PyUnicode_FSDecoder is that step. The lone
    // surrogates that Windows names may hold pass through surrogatepass, and the core opens the
    // name that holds them, as open() does.
    PyObject* decoded = nullptr;
    if (!PyUnicode_FSDecoder(filename, &decoded)) {
        return PyRef();
    }
    PyRef text(decoded);
    return PyRef(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
#else
    PyRef bytes = PyBytes_Check(filename) ? PyRef::borrow(filename) : PyRef(PyUnicode_EncodeFSDefault(filename));
    if (bytes && std::memchr(PyBytes_AS_STRING(bytes.get()), '\0',
                             static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))) != nullptr) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return PyRef();
    }
    return bytes;
#endif
}

}  // namespace

bool isPathArgument(PyObject* argument) {
    return PyUnicode_Check(argument) || PyBytes_Check(argument) ||
           PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(argument)), "__fspath__");
}

PathKind toNativePath(PyObject* argument, NativePath& path) {
    if (!isPathArgument(argument)) {
        return PathKind::other;
    }
    path.filename = PyRef(PyOS_FSPath(argument));
    if (!path.filename) {
        return PathKind::failed;
    }
    PyRef bytes = encodePath(path.filename.get());
    if (!bytes) {
        return PathKind::failed;
    }
    path.encoded.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return PathKind::native;
}

PyRef readThroughOpen(PyObject* argument, Py_ssize_t count) {
    PyRef open = builtin("open");
    if (!open) {
        return PyRef();
    }
    PyRef file(PyObject_CallFunction(open.get(), "Os", argument, "rb"));
    if (!file) {
        return PyRef();
    }
    PyRef read(PyObject_CallMethod(file.get(), "read", "n", count));
    PyRef bytes = read ? PyRef(PyBytes_FromObject(read.get())) : PyRef();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef closed(PyObject_CallMethod(file.get(), "close", nullptr));
    if (type != nullptr) {
        PyErr_Restore(type, value, traceback);
        return PyRef();
    }
    if (!closed) {
        return PyRef();
    }
    return bytes;
}

}  // namespace korvex
