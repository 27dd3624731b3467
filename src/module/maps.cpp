// Map cubes and trace maps: the map plan turned into the result's attributes and exceptions, the
// stored records read straight into the returned array with the GIL released.
#include "module/maps.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "extract/assembly.hpp"
#include "module/arrays.hpp"
#include "module/axes.hpp"
#include "module/data_return.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/labels.hpp"
#include "module/lookup.hpp"
#include "module/parameters.hpp"
#include "module/state.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

// The values of the labels, held for the whole call.
class MapParameters {
public:
    PyObject* operator[](Label label) const { return values_[static_cast<std::size_t>(label)].get(); }
    void set(Label label, PyObject* value) { values_[static_cast<std::size_t>(label)] = PyRef::borrow(value); }

private:
    std::array<PyRef, labelCount> values_;
};

// The values of the merged `parameters`, which the plan has found all there.
bool lookUpAll(PyObject* parameters, MapParameters& values) {
    for (std::size_t i = 0; i < labelCount; ++i) {
        const auto label = static_cast<Label>(i);
        PyObject* value = lookUp(parameters, label);
        if (value == nullptr) {
            return false;
        }
        values.set(label, value);
    }
    return true;
}

// Prints the line, then writes the underived data's geometry into `parameters`, or raises what
// stopped the plan from taking it.
bool useOriginalGeometry(const Request& request, const MapPlan& plan, PyObject* parameters) {
    PyRef print = builtin("print");
    if (!print) {
        return false;
    }
    PyObject* args[1] = {moduleState().originalCoordinatesUsed.get()};
    PyRef printed(PyObject_Vectorcall(print.get(), args, 1, nullptr));
    if (!printed) {
        return false;
    }
    if (plan.noUnderivedBlock) {
        raiseNoUnderivedBlock(request);
        return false;
    }
    reportFailedReads(plan.originalReports);
    if (plan.originalError) {
        raiseError(*plan.originalError, nullptr);
        return false;
    }
    PyRef original = parametersToDict(plan.original);
    if (!original) {
        return false;
    }
    if (plan.missingOriginalLabel) {
        raiseMissingLabel(*plan.missingOriginalLabel);
        return false;
    }
    for (const Label label : {Label::AOX, Label::AOY, Label::DDX, Label::DDY, Label::NPX, Label::NPY}) {
        PyObject* value = lookUp(original.get(), label);
        if (value == nullptr || PyDict_SetItem(parameters, labelText(label), value) != 0) {
            return false;
        }
    }
    return true;
}

// The end of a map axis as Python holds it.
PyRef endObject(const ParameterValue& end) {
    return PyRef(end.type == ParameterType::integer ? PyLong_FromLongLong(end.integer) : PyFloat_FromDouble(end.real));
}

// Map coordinates: linspace(first, first + step * (count - 1), count). Values that the plan leaves
// to Python are computed by Python, which raises what it raises for them.
PyRef mapAxis(const AxisPlan& plan, PyObject* first, PyObject* step, PyObject* count) {
    if (plan.spacing == AxisPlan::Spacing::native) {
        return evenAxis(plan, first, nullptr, count);
    }
    if (plan.spacing == AxisPlan::Spacing::numpy) {
        PyRef last = endObject(plan.end);
        return last ? evenAxis(plan, first, last.get(), count) : PyRef();
    }
    PyRef one(PyLong_FromLong(1));
    PyRef steps = one ? PyRef(PyNumber_Subtract(count, one.get())) : PyRef();
    PyRef span = steps ? PyRef(PyNumber_Multiply(step, steps.get())) : PyRef();
    PyRef last = span ? PyRef(PyNumber_Add(first, span.get())) : PyRef();
    return last ? evenAxis(plan, first, last.get(), count) : PyRef();
}

// The length of an axis: the plan's count, or what Python made of it.
bool lengthOf(const AxisPlan& plan, const PyRef& axis, std::int64_t& length) {
    const auto planned = plan.length();
    length = planned ? *planned : PyObject_Length(axis.get());
    return length >= 0;
}

PyObject* raiseShortRecord(std::int64_t record) {
    PyErr_Format(PyExc_ValueError, "Data block ends inside record %lld", static_cast<long long>(record));
    return nullptr;
}

// The map cube: NPY x NPX x NPT float32, zero where no record is stored.
PyObject* mapCube(PyObject* result, std::optional<ByteSource>& source, std::int64_t offsetToData,
                  const MapGeometry& geometry, const MapParameters& values) {
    PyRef cube = newShapedArray({geometry.npy, geometry.npx, geometry.npt}, ArrayType::float32, true);
    BufferView view;
    if (!cube || !setAttributes(result, {{Name::description, moduleState().mapCubeDescription.get()}}) ||
        !view.acquire(cube.get())) {
        return nullptr;
    }
    std::vector<ReadReport> reports;
    auto filled = withoutGil([&]() -> Result<MapOutcome> {
        return readMapCube(*source, offsetToData, geometry, view.as<float>(), reports);
    });
    source.reset();
    reportFailedReads(reports);
    if (!filled.ok()) {
        return raiseError(filled.error(), nullptr);
    }
    const MapOutcome& outcome = filled.value();
    switch (outcome.stop) {
        case MapStop::none:
            return cube.release();
        case MapStop::zeroColumns: {
            // The interpreter words it: the record's column is its index modulo NPX.
            PyRef index(PyLong_FromLongLong(outcome.record));
            PyRef column = index ? PyRef(PyNumber_Remainder(index.get(), values[Label::NPX])) : PyRef();
            if (column) {
                PyErr_SetString(PyExc_SystemError, "korvex: a column was found with no columns");
            }
            return nullptr;
        }
        case MapStop::beyondGrid: {
            // NumPy words it: the record's row is not a row of the cube.
            PyRef row(PyLong_FromLongLong(outcome.record / geometry.npx));
            PyRef found = row ? PyRef(PyObject_GetItem(cube.get(), row.get())) : PyRef();
            if (found) {
                PyErr_SetString(PyExc_SystemError, "korvex: a record beyond the grid found a row");
            }
            return nullptr;
        }
        case MapStop::shortRecord:
            return raiseShortRecord(outcome.record);
        case MapStop::wrongCount:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "korvex: unexpected end of a map cube");
    return nullptr;
}

// Appends each name to the list the result's `labels` holds now, decoded as text values are.
bool appendLabels(PyObject* result, const TraceNames& names) {
    PyRef labels(PyObject_GetAttr(result, nameObject(Name::labels)));
    if (!labels) {
        return false;
    }
    for (const TraceNames::Name& name : names.names) {
        PyRef text = textObject(names.textOf(name));
        if (!text) {
            return false;
        }
        for (std::int64_t i = 0; i < name.recordCount; ++i) {
            PyRef appended(PyObject_CallMethodOneArg(labels.get(), moduleState().appendName.get(), text.get()));
            if (!appended) {
                return false;
            }
        }
    }
    return true;
}

// The trace maps, stacked along a third axis: NPY x NPX x one per trace record, with their names.
PyObject* traceMaps(PyObject* result, std::optional<ByteSource>& source, std::int64_t offsetToData,
                    const MapGeometry& geometry) {
    PyRef labels(PyList_New(0));
    if (!labels || !setAttributes(result, {{Name::labels, labels.get()},
                                           {Name::description, moduleState().traceMapDescription.get()}})) {
        return nullptr;
    }
    std::vector<ReadReport> reports;
    auto planned = withoutGil([&]() { return planTraceMaps(*source, offsetToData, geometry, reports); });
    reportFailedReads(reports);
    if (!planned.ok()) {
        return raiseError(planned.error(), nullptr);
    }
    const TraceMapsPlan& plan = planned.value();
    PyRef stack;
    BufferView view;
    if (plan.stacks()) {
        stack = newShapedArray({geometry.npy, geometry.npx, plan.traces()}, ArrayType::float32, false);
        if (!stack || !view.acquire(stack.get())) {
            return nullptr;
        }
    }
    TraceNames names;
    auto ended = withoutGil([&]() -> Result<TraceMapsEnd> {
        return readTraceMaps(*source, plan, geometry, plan.stacks() ? view.as<float>() : std::span<float>(), names);
    });
    source.reset();
    if (!ended.ok()) {
        return raiseError(ended.error(), nullptr);
    }
    const TraceMapsEnd& end = ended.value();
    switch (end.kind) {
        case TraceMapsEnd::Kind::stacked:
            break;
        case TraceMapsEnd::Kind::error:
            return raiseError(*end.error, nullptr);
        case TraceMapsEnd::Kind::wrongCount:
            return raiseReshapeError(end.values, geometry.npy, geometry.npx);
        case TraceMapsEnd::Kind::shortRecord:
            return raiseShortRecord(end.record);
        case TraceMapsEnd::Kind::nothingToStack:
            return raiseNothingToStack();
    }
    if (!appendLabels(result, names)) {
        return nullptr;
    }
    return stack.release();
}

}  // namespace

PyObject* mapData(PyObject* module, const Request& request, std::optional<ByteSource>& source,
                  const BlockLocations& locations, const ParameterList& list, PyObject* parameters) {
    auto planned = withoutGil([&]() -> Result<MapPlan> { return planMap(*source, request.codes, locations, list); });
    if (!planned.ok()) {
        return raiseError(planned.error(), nullptr);
    }
    const MapPlan& plan = planned.value();
    if (plan.missingLabel) {
        return raiseMissingLabel(*plan.missingLabel);
    }
    if (plan.originalGeometry && !useOriginalGeometry(request, plan, parameters)) {
        return nullptr;
    }
    if (plan.countPastFile) {
        return raiseCountPastFile(*plan.countPastFile);
    }
    MapParameters values;
    if (!lookUpAll(parameters, values)) {
        return nullptr;
    }
    PyRef result = newResult(module, request);
    if (!result) {
        return nullptr;
    }
    PyRef mapX = mapAxis(plan.mapX, values[Label::AOX], values[Label::DDX], values[Label::NPX]);
    if (!mapX || !setAttributes(result.get(), {{Name::mapX, mapX.get()}})) {
        return nullptr;
    }
    PyRef mapY = mapAxis(plan.mapY, values[Label::AOY], values[Label::DDY], values[Label::NPY]);
    if (!mapY || !setAttributes(result.get(), {{Name::mapY, mapY.get()}})) {
        return nullptr;
    }
    PyRef x = evenAxis(plan.x, values[Label::FXV], values[Label::LXV], values[Label::NPT]);
    if (!x || !setAttributes(result.get(), {{Name::x, x.get()}, {Name::maxY, values[Label::MXY]}, {Name::minY, values[Label::MNY]}})) {
        return nullptr;
    }
    MapGeometry geometry;
    if (!lengthOf(plan.x, x, geometry.npt) || !lengthOf(plan.mapX, mapX, geometry.npx) ||
        !lengthOf(plan.mapY, mapY, geometry.npy)) {
        return nullptr;
    }
    PyRef data(plan.traces ? traceMaps(result.get(), source, locations.offsetToData, geometry)
                           : mapCube(result.get(), source, locations.offsetToData, geometry, values));
    if (!data || !setAttributes(result.get(), {{plan.traces ? Name::traces : Name::spectra, data.get()}, {Name::parameters, parameters}})) {
        return nullptr;
    }
    return result.release();
}

}  // namespace korvex
