// numpy.empty and numpy.linspace, looked up once, and the Py_buffer owner.
#include "module/arrays.hpp"

namespace korvex {

namespace {

// Set once at import and never changed, so every thread may read them.
PyObject* numpyEmpty = nullptr;
PyObject* numpyZeros = nullptr;
PyObject* numpyDstack = nullptr;
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
    numpyZeros = PyObject_GetAttrString(numpy.get(), "zeros");
    numpyDstack = PyObject_GetAttrString(numpy.get(), "dstack");
    numpyLinspaceFunction = PyObject_GetAttrString(numpy.get(), "linspace");
    if (numpyEmpty == nullptr || numpyZeros == nullptr || numpyDstack == nullptr || numpyLinspaceFunction == nullptr) {
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

PyRef newShapedArray(std::initializer_list<std::int64_t> shape, ArrayType type, bool zeroed) {
    PyRef dimensions(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dimensions) {
        return PyRef();
    }
    Py_ssize_t i = 0;
    for (const std::int64_t length : shape) {
        PyObject* item = PyLong_FromLongLong(length);
        if (item == nullptr) {
            return PyRef();
        }
        PyTuple_SET_ITEM(dimensions.get(), i++, item);
    }
    PyObject* args[2] = {dimensions.get(), dtypes[type == ArrayType::float32 ? 0 : 1]};
    return PyRef(PyObject_Vectorcall(zeroed ? numpyZeros : numpyEmpty, args, 2, nullptr));
}

PyObject* raiseNothingToStack() {
    PyRef nothing(PyList_New(0));
    if (nothing) {
        PyObject* args[1] = {nothing.get()};
        PyRef stacked(PyObject_Vectorcall(numpyDstack, args, 1, nullptr));
        if (stacked) {
            PyErr_SetString(PyExc_SystemError, "korvex: numpy.dstack stacked no arrays");
        }
    }
    return nullptr;
}

PyObject* raiseReshapeError(std::int64_t count, std::int64_t rows, std::int64_t columns) {
    PyRef values = newArray(count, ArrayType::float32);
    if (values) {
        PyRef reshaped(PyObject_CallMethod(values.get(), "reshape", "((LL))", static_cast<long long>(rows),
                                           static_cast<long long>(columns)));
        if (reshaped) {
            PyErr_SetString(PyExc_SystemError, "korvex: a trace map of the wrong size was reshaped");
        }
    }
    return nullptr;
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
