// Axes spaced natively when their ends and count are plain numbers, by numpy.linspace otherwise.
#include "module/axes.hpp"

#include <optional>

#include "extract/values.hpp"
#include "module/arrays.hpp"

namespace korvex {

namespace {

// An exact int that fits in 64 bits.
std::optional<long long> plainInteger(PyObject* value) {
    if (!PyLong_CheckExact(value)) {
        return std::nullopt;
    }
    int overflow = 0;
    const long long integer = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || (integer == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    return integer;
}

// A plain number as a double: an int or a float, nothing NumPy would convert in its own way.
std::optional<double> plainNumber(PyObject* value) {
    if (PyFloat_CheckExact(value)) {
        return PyFloat_AS_DOUBLE(value);
    }
    const auto integer = plainInteger(value);
    return integer ? std::optional<double>(static_cast<double>(*integer)) : std::nullopt;
}

}  // namespace

PyRef evenAxis(PyObject* first, PyObject* last, PyObject* count) {
    const auto points = plainInteger(count);
    const auto from = plainNumber(first);
    const auto to = plainNumber(last);
    if (!points || *points < 0 || !from || !to || !spacingIsExact(*from, *to)) {
        return numpyLinspace(first, last, count);
    }
    PyRef axis = newArray(*points, ArrayType::float64);
    BufferView values;
    if (!axis || !values.acquire(axis.get())) {
        return PyRef();
    }
    // Long axes are spaced with the GIL released; short ones are not worth the switch.
    constexpr long long longAxis = 1 << 16;
    if (*points >= longAxis) {
        Py_BEGIN_ALLOW_THREADS
        evenlySpaced(*from, *to, values.as<double>());
        Py_END_ALLOW_THREADS
    } else {
        evenlySpaced(*from, *to, values.as<double>());
    }
    return axis;
}

}  // namespace korvex
