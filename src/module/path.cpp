// Conversion of path arguments, with the errors the interpreter's open() raises for them.
#include "module/path.hpp"

#include <cstring>

#include "module/lookup.hpp"

namespace korvex {

PathKind toNativePath(PyObject* argument, NativePath& path) {
    if (!PyUnicode_Check(argument) && !PyBytes_Check(argument)) {
        const int pathLike = PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(argument)), "__fspath__");
        if (!pathLike) {
            return PathKind::other;
        }
    }
    path.filename = PyRef(PyOS_FSPath(argument));
    if (!path.filename) {
        return PathKind::failed;
    }
    PyRef bytes = PyBytes_Check(path.filename.get()) ? PyRef::borrow(path.filename.get())
                                                     : PyRef(PyUnicode_EncodeFSDefault(path.filename.get()));
    if (!bytes) {
        return PathKind::failed;
    }
    const char* data = PyBytes_AS_STRING(bytes.get());
    const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()));
    if (std::memchr(data, '\0', length) != nullptr) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return PathKind::failed;
    }
    path.encoded.assign(data, length);
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
    PyRef read = count < 0 ? PyRef(PyObject_CallMethod(file.get(), "read", nullptr))
                           : PyRef(PyObject_CallMethod(file.get(), "read", "n", count));
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
