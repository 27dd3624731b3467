// numpy.empty and numpy.linspace, looked up once, and the Py_buffer owner.
#include "module/arrays.hpp"

namespace korvex {

namespace {

// Set once at import and never changed, so every thread may read them.
PyObject* numpyEmpty = nullptr;
PyObject* numpyLinspaceFunction = nullptr;
PyObject* dtypes[2] = {nullptr, nullptr};  // float32, float64

}  // namespace

bool initArrays() {
    if (dtypes[1] != nullptr) {
        return true;  // a retried import after a failed one
    }
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return false;
    }
    numpyEmpty = PyObject_GetAttrString(numpy.get(), "empty");
    numpyLinspaceFunction = PyObject_GetAttrString(numpy.get(), "linspace");
    if (numpyEmpty == nullptr || numpyLinspaceFunction == nullptr) {
        return false;
    }
    PyRef dtype(PyObject_GetAttrString(numpy.get(), "dtype"));
    if (!dtype) {
        return false;
    }
    dtypes[0] = PyObject_CallFunction(dtype.get(), "s", "float32");
    dtypes[1] = dtypes[0] != nullptr ? PyObject_CallFunction(dtype.get(), "s", "float64") : nullptr;
    return dtypes[1] != nullptr;
}

PyRef newArray(std::int64_t count, ArrayType type) {
    PyRef length(PyLong_FromLongLong(count));
    if (!length) {
        return PyRef();
    }
    PyObject* args[2] = {length.get(), dtypes[type == ArrayType::float32 ? 0 : 1]};
    return PyRef(PyObject_Vectorcall(numpyEmpty, args, 2, nullptr));
}

PyRef numpyLinspace(PyObject* first, PyObject* last, PyObject* count) {
    PyObject* args[3] = {first, last, count};
    return PyRef(PyObject_Vectorcall(numpyLinspaceFunction, args, 3, nullptr));
}

bool BufferView::acquire(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
        return false;
    }
    held_ = true;
    return true;
}

}  // namespace korvex
