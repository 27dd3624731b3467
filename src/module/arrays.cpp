// NumPy arrays made with the module state's NumPy functions, and the Py_buffer owner.
#include "module/arrays.hpp"

#include "module/state.hpp"

namespace korvex {

namespace {

PyObject* dtypeOf(ArrayType type) {
    return moduleState().dtypes[type == ArrayType::float32 ? 0 : 1].get();
}

}  // namespace

PyRef newArray(std::int64_t count, ArrayType type) {
    PyRef length(PyLong_FromLongLong(count));
    if (!length) {
        return PyRef();
    }
    PyObject* args[2] = {length.get(), dtypeOf(type)};
    return PyRef(PyObject_Vectorcall(moduleState().numpyEmpty.get(), args, 2, nullptr));
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
    PyObject* args[2] = {dimensions.get(), dtypeOf(type)};
    const ModuleState& state = moduleState();
    return PyRef(PyObject_Vectorcall((zeroed ? state.numpyZeros : state.numpyEmpty).get(), args, 2, nullptr));
}

PyObject* raiseNothingToStack() {
    PyRef nothing(PyList_New(0));
    if (nothing) {
        PyObject* args[1] = {nothing.get()};
        PyRef stacked(PyObject_Vectorcall(moduleState().numpyDstack.get(), args, 1, nullptr));
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
    return PyRef(PyObject_Vectorcall(moduleState().numpyLinspace.get(), args, 3, nullptr));
}

bool BufferView::acquire(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
        return false;
    }
    held_ = true;
    return true;
}

}  // namespace korvex
