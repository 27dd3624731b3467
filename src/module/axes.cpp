// Axes spaced natively when the plan says so, by numpy.linspace otherwise.
#include "module/axes.hpp"

#include "extract/values.hpp"
#include "module/arrays.hpp"

namespace korvex {

PyRef evenAxis(const AxisPlan& plan, PyObject* first, PyObject* last, PyObject* count) {
    if (plan.spacing != AxisPlan::Spacing::native) {
        return numpyLinspace(first, last, count);
    }
    PyRef axis = newArray(plan.count, ArrayType::float64);
    BufferView values;
    if (!axis || !values.acquire(axis.get())) {
        return PyRef();
    }
    // Long axes are spaced with the GIL released; short ones are not worth the switch.
    constexpr long long longAxis = 1 << 16;
    if (plan.count >= longAxis) {
        Py_BEGIN_ALLOW_THREADS
        evenlySpaced(plan.first, plan.last, values.as<double>());
        Py_END_ALLOW_THREADS
    } else {
        evenlySpaced(plan.first, plan.last, values.as<double>());
    }
    return axis;
}

}  // namespace korvex
