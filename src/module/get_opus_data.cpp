// getOpusData: the request, the directory scan and parameter merge, then the builder of the result.
#include "module/get_opus_data.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <vector>

#include "extract/parameters.hpp"
#include "extract/request.hpp"
#include "extract/values.hpp"
#include "module/arguments.hpp"
#include "module/arrays.hpp"
#include "module/call_file.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/lookup.hpp"
#include "module/parameters.hpp"
#include "module/request.hpp"
#include "module/texts.hpp"

namespace korvex {

namespace {

// Labels the single-spectrum builder looks up, in the order it looks them up.
enum SpectrumLabel { NPT, FXV, LXV, MXY, MNY, spectrumLabelCount };
constexpr std::array<const char*, spectrumLabelCount> spectrumLabelTexts = {"NPT", "FXV", "LXV", "MXY", "MNY"};

// Set once at import and never changed, so every thread may read them.
std::array<PyObject*, spectrumLabelCount> spectrumLabels{};
PyObject* singleSpectrumDescription = nullptr;

// What the directory scan and the parameter merge found.
struct Located {
    BlockLocations locations;
    ParameterList parameters;
};

// The blocks of the request and their parameter records, read from `source`.
Result<Located> locate(const ByteSource& source, const BlockRequest& request, std::vector<ReadReport>& reports) {
    Cursor cursor(source);
    auto located = [&]() -> Result<Located> {
        auto locations = locateBlocks(cursor, request);
        if (!locations.ok()) {
            return locations.error();
        }
        Located found{locations.value(), {}};
        if (!found.locations.found()) {
            return found;
        }
        auto parameters = mergeParameters(cursor, found.locations);
        if (!parameters.ok()) {
            return parameters.error();
        }
        found.parameters = std::move(parameters).value();
        return found;
    }();
    reports = std::move(cursor.reports);
    return located;
}

// parameters[label], borrowed; KeyError(label) when it is missing.
PyObject* lookUp(PyObject* parameters, SpectrumLabel label) {
    PyObject* value = PyDict_GetItemWithError(parameters, spectrumLabels[label]);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_SetObject(PyExc_KeyError, spectrumLabels[label]);
    }
    return value;
}

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

// The x axis of a spectrum, as numpy.linspace(FXV, LXV, NPT) gives it: NPT values. Plain values
// are spaced natively (filled later, without the GIL); NumPy judges the others itself, raising its
// own errors.
struct Axis {
    PyRef array;
    bool toFill = false;
    double first = 0.0;
    double last = 0.0;
};

bool makeAxis(PyObject* npt, PyObject* fxv, PyObject* lxv, Axis& axis) {
    const auto count = plainInteger(npt);
    const auto first = plainNumber(fxv);
    const auto last = plainNumber(lxv);
    if (count && *count >= 0 && first && last && spacingIsExact(*first, *last)) {
        axis = {newArray(*count, ArrayType::float64), true, *first, *last};
    } else {
        axis.array = numpyLinspace(fxv, lxv, npt);
    }
    return static_cast<bool>(axis.array);
}

// Builds the result object: DataReturn as the module binds it now, its attributes set in order.
PyObject* buildResult(PyObject* module, const Request& request,
                      std::initializer_list<std::pair<const char*, PyObject*>> attributes) {
    PyRef cls = moduleGlobal(module, "DataReturn");
    if (!cls) {
        return nullptr;
    }
    PyObject* args[3] = {request.dataBlockType.get(), request.dimensions.get(), request.deriv.get()};
    PyRef result(PyObject_Vectorcall(cls.get(), args, 3, nullptr));
    if (!result) {
        return nullptr;
    }
    for (const auto& [name, value] : attributes) {
        if (PyObject_SetAttrString(result.get(), name, value) != 0) {
            return nullptr;
        }
    }
    return result.release();
}

// The "2D" branch: the x axis from NPT, FXV and LXV, the y values read at the data block, and the
// stored extremes. The file is closed before the result is built.
PyObject* singleSpectrum(PyObject* module, const Request& request, std::optional<ByteSource>& source,
                         std::int64_t offsetToData, PyObject* parameters) {
    std::array<PyObject*, spectrumLabelCount> values{};
    for (int label = NPT; label < spectrumLabelCount; ++label) {
        if ((values[label] = lookUp(parameters, static_cast<SpectrumLabel>(label))) == nullptr) {
            return nullptr;
        }
    }
    Axis axis;
    if (!makeAxis(values[NPT], values[FXV], values[LXV], axis)) {
        return nullptr;
    }
    if (offsetToData < 0) {
        errno = EINVAL;  // what seeking there raises
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    // NPT has been taken as a count: the axis holds that many values.
    const Py_ssize_t npt = PyObject_Length(axis.array.get());
    if (npt < 0) {
        return nullptr;
    }
    const std::int64_t stored = storedValueCount(*source, offsetToData, npt);
    PyRef ordinate = newArray(stored, ArrayType::float32);
    BufferView x;
    BufferView y;
    if (!ordinate || (axis.toFill && !x.acquire(axis.array.get())) || !y.acquire(ordinate.get())) {
        return nullptr;
    }
    auto read = withoutGil([&]() -> Result<std::size_t> {
        if (axis.toFill) {
            evenlySpaced(axis.first, axis.last, x.as<double>());
        }
        return readValues(*source, offsetToData, y.as<float>());
    });
    source.reset();
    if (!read.ok()) {
        return raiseError(read.error(), nullptr);
    }
    if (read.value() != static_cast<std::size_t>(stored)) {
        // The file shrank while it was read: keep the values that arrived.
        PyRef shorter = newArray(static_cast<std::int64_t>(read.value()), ArrayType::float32);
        BufferView kept;
        if (!shorter || !kept.acquire(shorter.get())) {
            return nullptr;
        }
        std::copy_n(y.as<float>().begin(), read.value(), kept.as<float>().begin());
        ordinate = std::move(shorter);
    }
    return buildResult(module, request,
                       {{"description", singleSpectrumDescription},
                        {"x", axis.array.get()},
                        {"y", ordinate.get()},
                        {"maxY", values[MXY]},
                        {"minY", values[MNY]},
                        {"parameters", parameters}});
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
    if (!parseRequest(values[1], request) || !requireOpusFile(module, path) || !file.prepare(path)) {
        return nullptr;
    }

    // The file stays open from the directory scan to the last data read.
    std::optional<ByteSource> source;
    std::vector<ReadReport> reports;
    auto located = withoutGil([&]() -> Result<Located> {
        auto opened = file.open();
        if (!opened.ok()) {
            return opened.error();
        }
        source.emplace(std::move(opened).value());
        return locate(*source, request.codes, reports);
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
    if (request.threeD) {
        PyErr_SetString(PyExc_NotImplementedError, "getOpusData() cannot read 3D data blocks yet");
        return nullptr;
    }
    return singleSpectrum(module, request, source, locations.offsetToData, parameters.get());
}

}  // namespace

bool initGetOpusData() {
    if (!initArrays() || !initRequests()) {
        return false;
    }
    if (singleSpectrumDescription != nullptr) {
        return true;  // a retried import after a failed one
    }
    for (int label = NPT; label < spectrumLabelCount; ++label) {
        if ((spectrumLabels[label] = PyUnicode_InternFromString(spectrumLabelTexts[label])) == nullptr) {
            return false;
        }
    }
    singleSpectrumDescription = PyUnicode_FromString(texts::singleSpectrumDescription);
    return singleSpectrumDescription != nullptr;
}

PyMethodDef getOpusDataDef = {"getOpusData",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getOpusData)),
                              METH_FASTCALL | METH_KEYWORDS, texts::getOpusDataDoc};

}  // namespace korvex
