// Axes spaced natively when the plan says so, by numpy.linspace otherwise.
#include "module/axes.hpp"

#include "extract/values.hpp"
#include "module/arrays.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"

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
    // Long axes are spaced with the GIL released, and can be interrupted; short ones are not worth
    // the switch.
    constexpr long long longAxis = 1 << 16;
    if (plan.count < longAxis) {
        evenlySpaced(plan.first, plan.last, values.as<double>());
        return axis;
    }
    auto spaced = withoutGil([&]() -> Result<bool> {
        if (!evenlySpaced(plan.first, plan.last, values.as<double>())) {
            return Error::interruption();
        }
        return true;
    });
    if (!spaced.ok()) {
        raiseError(spaced.error(), nullptr);
        return PyRef();
    }
    return axis;
}

}  // namespace korvex
