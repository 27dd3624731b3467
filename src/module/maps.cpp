// Map cubes and trace maps: the map geometry (with the underived data's as a fallback), the axes,
// and the stored records read straight into the returned array with the GIL released.
#include "module/maps.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <span>
#include <vector>

#include "extract/maps.hpp"
#include "extract/parameters.hpp"
#include "format/block_type.hpp"
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

// The labels the branch looks up, in the order it looks them up.
constexpr std::array<Label, 11> mapLabels = {Label::NPT, Label::FXV, Label::LXV, Label::AOX, Label::AOY, Label::DDX,
                                             Label::DDY, Label::NPX, Label::NPY, Label::MXY, Label::MNY};
// The geometry that a derived map may take from the underived data, in the order it is taken.
constexpr std::array<Label, 6> geometryLabels = {Label::AOX, Label::AOY, Label::DDX,
                                                 Label::DDY, Label::NPX, Label::NPY};

// The values of the labels, held for the whole call.
class MapParameters {
public:
    PyObject* operator[](Label label) const { return values_[static_cast<std::size_t>(label)].get(); }
    void set(Label label, PyObject* value) { values_[static_cast<std::size_t>(label)] = PyRef::borrow(value); }

private:
    std::array<PyRef, 11> values_;
};

// value == 0, as Python compares it: 1, 0, or -1 with the exception set.
int equalsZero(PyObject* value) {
    PyRef zero(PyLong_FromLong(0));
    return zero ? PyObject_RichCompareBool(value, zero.get(), Py_EQ) : -1;
}

// A derived map whose NPX or NPY is 0 takes its geometry from the data parameter block of the
// underived data: the line is printed, then the six values are read there and written back into
// `parameters`, so that the result shows the geometry used.
bool useOriginalGeometry(const Request& request, const ByteSource& source, std::int64_t offsetToOriginalParams,
                         PyObject* parameters, MapParameters& values) {
    PyRef print = builtin("print");
    if (!print) {
        return false;
    }
    PyObject* args[1] = {moduleState().originalCoordinatesUsed.get()};
    PyRef printed(PyObject_Vectorcall(print.get(), args, 1, nullptr));
    if (!printed) {
        return false;
    }
    if (offsetToOriginalParams == notFound) {
        raiseNoUnderivedBlock(request);
        return false;
    }
    ParameterList list;
    std::vector<ReadReport> reports;
    auto read = withoutGil([&]() -> Result<std::size_t> {
        return readReporting(source, reports,
                             [&](Cursor& cursor) { return getParams(cursor, offsetToOriginalParams, list); });
    });
    reportFailedReads(reports);
    if (!read.ok()) {
        raiseError(read.error(), nullptr);
        return false;
    }
    PyRef original = parametersToDict(list);
    if (!original) {
        return false;
    }
    MapParameters taken;
    for (const Label label : geometryLabels) {
        PyObject* value = lookUp(original.get(), label);
        if (value == nullptr) {
            return false;
        }
        taken.set(label, value);
    }
    for (const Label label : geometryLabels) {
        if (PyDict_SetItem(parameters, labelText(label), taken[label]) != 0) {
            return false;
        }
        values.set(label, taken[label]);
    }
    return true;
}

// Map coordinates: linspace(first, first + step * (count - 1), count), the end computed as
// Python computes it.
PyRef mapAxis(PyObject* first, PyObject* step, PyObject* count) {
    PyRef one(PyLong_FromLong(1));
    PyRef steps = one ? PyRef(PyNumber_Subtract(count, one.get())) : PyRef();
    PyRef span = steps ? PyRef(PyNumber_Multiply(step, steps.get())) : PyRef();
    PyRef last = span ? PyRef(PyNumber_Add(first, span.get())) : PyRef();
    return last ? evenAxis(first, last.get(), count) : PyRef();
}

// The length of an axis, which is the count it was made with.
bool lengthOf(const PyRef& axis, std::int64_t& length) {
    const Py_ssize_t size = PyObject_Length(axis.get());
    length = size;
    return size >= 0;
}

PyObject* raiseShortRecord(std::int64_t record) {
    PyErr_Format(PyExc_ValueError, "Data block ends inside record %lld", static_cast<long long>(record));
    return nullptr;
}

// The map block's header and store table; failed reads of them are put in `reports`.
Result<MapBlock> readBlock(const ByteSource& source, std::int64_t offsetToData, std::vector<ReadReport>& reports) {
    return readReporting(source, reports, [&](Cursor& cursor) { return readMapBlock(cursor, offsetToData); });
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
        auto block = readBlock(*source, offsetToData, reports);
        if (!block.ok()) {
            return block.error();
        }
        return fillCube(*source, block.value(), geometry, view.as<float>());
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
        for (std::int64_t i = 0; i < name.repeats; ++i) {
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
    std::optional<MapBlock> block;
    auto planned = withoutGil([&]() -> Result<TracePlan> {
        auto read = readBlock(*source, offsetToData, reports);
        if (!read.ok()) {
            return read.error();
        }
        block.emplace(std::move(read).value());
        return planTraces(*source, *block, geometry);
    });
    reportFailedReads(reports);
    if (!planned.ok()) {
        return raiseError(planned.error(), nullptr);
    }
    const TracePlan& plan = planned.value();
    // The stack is made only when every record fits it; otherwise only the names before the failing
    // record are read, so that a read failing among them fails first, as it does in reading order.
    const bool stacks = plan.traces > 0 && plan.outcome.stop == MapStop::none && !plan.error;
    PyRef stack;
    BufferView view;
    if (stacks) {
        stack = newShapedArray({geometry.npy, geometry.npx, plan.traces}, ArrayType::float32, false);
        if (!stack || !view.acquire(stack.get())) {
            return nullptr;
        }
    }
    TraceNames names;
    auto read = withoutGil([&]() -> Result<MapOutcome> {
        return readTraces(*source, *block, geometry, plan.traces, stacks ? view.as<float>() : std::span<float>(),
                          names);
    });
    source.reset();
    if (!read.ok()) {
        return raiseError(read.error(), nullptr);
    }
    const MapOutcome& outcome = read.value();
    if (outcome.stop == MapStop::wrongCount) {
        return raiseReshapeError(outcome.values, geometry.npy, geometry.npx);  // the file shrank meanwhile
    }
    if (plan.error) {
        return raiseError(*plan.error, nullptr);
    }
    if (plan.outcome.stop == MapStop::wrongCount) {
        return raiseReshapeError(plan.outcome.values, geometry.npy, geometry.npx);
    }
    if (plan.outcome.stop == MapStop::shortRecord) {
        return raiseShortRecord(plan.outcome.record);
    }
    if (plan.traces == 0) {
        return raiseNothingToStack();
    }
    if (!appendLabels(result, names)) {
        return nullptr;
    }
    return stack.release();
}

}  // namespace

PyObject* mapData(PyObject* module, const Request& request, std::optional<ByteSource>& source,
                  const BlockLocations& locations, PyObject* parameters) {
    MapParameters values;
    for (const Label label : mapLabels) {
        PyObject* value = lookUp(parameters, label);
        if (value == nullptr) {
            return nullptr;
        }
        values.set(label, value);
    }
    if (request.codes.derivType != 0) {
        int noGeometry = equalsZero(values[Label::NPX]);
        if (noGeometry == 0) {
            noGeometry = equalsZero(values[Label::NPY]);
        }
        if (noGeometry < 0 ||
            (noGeometry == 1 &&
             !useOriginalGeometry(request, *source, locations.offsetToOriginalParams, parameters, values))) {
            return nullptr;
        }
    }
    PyRef result = newResult(module, request);
    if (!result) {
        return nullptr;
    }
    PyRef mapX = mapAxis(values[Label::AOX], values[Label::DDX], values[Label::NPX]);
    if (!mapX || !setAttributes(result.get(), {{Name::mapX, mapX.get()}})) {
        return nullptr;
    }
    PyRef mapY = mapAxis(values[Label::AOY], values[Label::DDY], values[Label::NPY]);
    if (!mapY || !setAttributes(result.get(), {{Name::mapY, mapY.get()}})) {
        return nullptr;
    }
    PyRef x = evenAxis(values[Label::FXV], values[Label::LXV], values[Label::NPT]);
    if (!x || !setAttributes(result.get(), {{Name::x, x.get()}, {Name::maxY, values[Label::MXY]}, {Name::minY, values[Label::MNY]}})) {
        return nullptr;
    }
    // Each count has been taken by its axis, which holds that many values.
    MapGeometry geometry;
    if (!lengthOf(x, geometry.npt) || !lengthOf(mapX, geometry.npx) || !lengthOf(mapY, geometry.npy)) {
        return nullptr;
    }
    const bool traces = dataBlockDict[request.codes.dataBlock].name == "TRC";
    PyRef data(traces ? traceMaps(result.get(), source, locations.offsetToData, geometry)
                      : mapCube(result.get(), source, locations.offsetToData, geometry, values));
    if (!data || !setAttributes(result.get(), {{traces ? Name::traces : Name::spectra, data.get()}, {Name::parameters, parameters}})) {
        return nullptr;
    }
    return result.release();
}

}  // namespace korvex
