// getOpusData: the request, the directory scan and parameter merge, then the builder of the result.
#include "module/get_opus_data.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "extract/assembly.hpp"
#include "extract/values.hpp"
#include "format/block_type.hpp"
#include "module/arguments.hpp"
#include "module/arrays.hpp"
#include "module/axes.hpp"
#include "module/block_triple.hpp"
#include "module/boundary.hpp"
#include "module/call_file.hpp"
#include "module/data_return.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/labels.hpp"
#include "module/maps.hpp"
#include "module/parameters.hpp"
#include "module/state.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

// The "2D" branch: the x axis from NPT, FXV and LXV, the y values read at the data block, and the
// stored extremes. The file is closed before the result is built.
PyObject* singleSpectrum(PyObject* module, const Request& request, std::optional<ByteSource>& source,
                         std::int64_t offsetToData, const ParameterList& list, PyObject* parameters) {
    const SpectrumPlan plan = planSpectrum(list, offsetToData, source->size());
    if (plan.missingLabel) {
        return raiseMissingLabel(*plan.missingLabel);
    }
    if (plan.countPastFile) {
        return raiseCountPastFile(*plan.countPastFile);
    }
    PyObject* npt = lookUp(parameters, Label::NPT);
    PyObject* mxy = lookUp(parameters, Label::MXY);
    PyObject* mny = lookUp(parameters, Label::MNY);
    PyRef abscissa = evenAxis(plan.x, lookUp(parameters, Label::FXV), lookUp(parameters, Label::LXV), npt);
    if (!abscissa) {
        return nullptr;
    }
    if (plan.offsetError) {
        return raiseError(*plan.offsetError, nullptr);
    }
    const auto length = plan.x.length();
    const std::int64_t count = length ? *length : PyObject_Length(abscissa.get());
    if (count < 0) {
        return nullptr;
    }
    const std::int64_t stored = storedValueCount(*source, offsetToData, count);
    PyRef ordinate = newArray(stored, ArrayType::float32);
    BufferView y;
    if (!ordinate || !y.acquire(ordinate.get())) {
        return nullptr;
    }
    auto read = withoutGil([&]() -> Result<std::size_t> { return readValues(*source, offsetToData, y.as<float>()); });
    source.reset();
    if (!read.ok()) {
        return raiseError(read.error(), nullptr);
    }
    if (read.value() != static_cast<std::size_t>(stored)) {
        PyRef shorter = newArray(static_cast<std::int64_t>(read.value()), ArrayType::float32);
        BufferView kept;
        if (!shorter || !kept.acquire(shorter.get())) {
            return nullptr;
        }
        std::copy_n(y.as<float>().begin(), read.value(), kept.as<float>().begin());
        ordinate = std::move(shorter);
    }
    PyRef result = newResult(module, request);
    if (!result || !setAttributes(result.get(), {{Name::description, moduleState().singleSpectrumDescription.get()},
                                                 {Name::x, abscissa.get()},
                                                 {Name::y, ordinate.get()},
                                                 {Name::maxY, mxy},
                                                 {Name::minY, mny},
                                                 {Name::parameters, parameters}})) {
        return nullptr;
    }
    return result.release();
}

PyObject* getOpusData(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names = {"path", "datablock"};
    std::array<PyObject*, 2> values{};
    if (!bindArguments("getOpusData", names, args, nargs, kwnames, values)) {
        return nullptr;
    }
    PyObject* path = values[0];
    if (path != Py_None && !PyUnicode_CheckExact(path)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "path",
                     "str", Py_TYPE(path)->tp_name);
        return nullptr;
    }
    Request request;
    CallFile file;
    if (!parseRequest(values[1], request) || !file.prepare(module, path)) {
        return nullptr;
    }

    // The file stays open from the directory scan to the last data read.
    std::optional<ByteSource> source;
    std::vector<ReadReport> reports;
    auto located = withoutGil([&]() -> Result<LocatedBlocks> {
        auto opened = file.open();
        if (!opened.ok()) {
            return opened.error();
        }
        source.emplace(std::move(opened).value());
        return readOnNewCursor(*source, reports,
                               [&](Cursor& cursor) { return locateWithParameters(cursor, request.codes); });
    });
    reportFailedReads(reports);
    if (!located.ok()) {
        // Opening names the file in its error; a seek to a negative offset does not.
        return raiseError(located.error(), source ? nullptr : file.filename());
    }
    const BlockLocations& locations = located.value().locations;
    if (!locations.found()) {
        raiseNoDataBlock(request);
        return nullptr;
    }
    PyRef parameters = parametersToDict(located.value().parameters);
    if (!parameters) {
        return nullptr;
    }
    if (request.codes.extendType == extendType3D) {
        return mapData(module, request, source, locations, located.value().parameters, parameters.get());
    }
    return singleSpectrum(module, request, source, locations.offsetToData, located.value().parameters,
                          parameters.get());
}

}  // namespace

PyMethodDef getOpusDataDef = {"getOpusData",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entryPoint<getOpusData>)),
                              METH_FASTCALL | METH_KEYWORDS, texts::getOpusDataDoc};

}  // namespace korvex
