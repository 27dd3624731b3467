// getOpusData: the request, the directory scan and parameter merge, then the builder of the result.
#include "module/get_opus_data.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <optional>
#include <span>
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

// A single spectrum of at most this many values is read whole in the call's one GIL-free stretch,
// into a buffer (EarlyValues), and copied into its array once the GIL is back. A longer one is read
// straight into its array in a second stretch: there the copy would cost more than taking the GIL
// again, and the buffer would double the memory the call holds.
constexpr std::int64_t bufferedValues = std::int64_t{1} << 16;

// The y values of a spectrum, read before their array exists, into a buffer of bufferedValues
// values. A thread keeps one spare buffer from call to call, so that it stays in the cache and a
// call allocates nothing; a call takes it for as long as it holds values in it and gives it back
// at its end, so that a call made on the same thread before then (by a finalizer or a profile hook
// that runs while the objects are made) reads into a buffer of its own.
class EarlyValues {
public:
    EarlyValues() = default;
    EarlyValues(const EarlyValues&) = delete;
    EarlyValues& operator=(const EarlyValues&) = delete;
    ~EarlyValues() {
        if (buffer_ && !spare) {
            spare = std::move(buffer_);
        }
    }

    // Without the GIL: reads `count` values at `offset`; false, with nothing read, when no buffer
    // can be had.
    bool read(const ByteSource& source, std::int64_t offset, std::int64_t count) {
        buffer_ = std::move(spare);
        if (!buffer_) {
            buffer_.reset(new (std::nothrow) float[bufferedValues]);
            if (!buffer_) {
                return false;
            }
        }
        stored_ = count;
        result_ = readValues(source, offset, {buffer_.get(), static_cast<std::size_t>(count)});
        return true;
    }

    // Whether the values were read; then how many the file holds for the count, and the outcome.
    bool done() const { return result_.has_value(); }
    std::int64_t stored() const { return stored_; }
    const Result<std::size_t>& result() const { return *result_; }
    std::span<const float> values() const { return {buffer_.get(), static_cast<std::size_t>(stored_)}; }

private:
    static thread_local std::unique_ptr<float[]> spare;
    std::unique_ptr<float[]> buffer_;
    std::int64_t stored_ = 0;
    std::optional<Result<std::size_t>> result_;
};

thread_local std::unique_ptr<float[]> EarlyValues::spare;

// Without the GIL, once the blocks are located: a single spectrum's plan, and, when the plan goes on
// to read values (every label there, a count the file can back and whose axis length is known
// without NumPy, data at an offset >= 0) and they are few, the values themselves, after which the
// file is closed. Otherwise the file stays open for singleSpectrum to read into the array.
SpectrumPlan planAndReadEarly(std::optional<ByteSource>& source, std::int64_t offsetToData, const ParameterList& list,
                              EarlyValues& early) {
    SpectrumPlan plan = planSpectrum(list, offsetToData, source->size());
    const auto length = plan.x.length();
    if (plan.missingLabel || plan.countPastFile || plan.offsetError || !length) {
        return plan;
    }
    const std::int64_t stored = storedValueCount(*source, offsetToData, *length);
    if (stored > bufferedValues) {
        return plan;
    }
    // A buffer that cannot be had leaves the values to the array, whose allocation says so as before.
    if (early.read(*source, offsetToData, stored)) {
        source.reset();
    }
    return plan;
}

// The "2D" branch: the x axis from NPT, FXV and LXV, the y values read at the data block (or read
// already, in `early`), and the stored extremes. The file is closed before the result is built.
PyObject* singleSpectrum(PyObject* module, const Request& request, std::optional<ByteSource>& source,
                         std::int64_t offsetToData, const SpectrumPlan& plan, EarlyValues& early,
                         PyObject* parameters) {
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
    const std::int64_t stored = early.done() ? early.stored() : storedValueCount(*source, offsetToData, count);
    PyRef ordinate = newArray(stored, ArrayType::float32);
    BufferView y;
    if (!ordinate || !y.acquire(ordinate.get())) {
        return nullptr;
    }
    std::optional<Result<std::size_t>> readNow;
    if (!early.done()) {
        readNow = withoutGil([&]() -> Result<std::size_t> { return readValues(*source, offsetToData, y.as<float>()); });
        source.reset();
    }
    const Result<std::size_t>& read = early.done() ? early.result() : *readNow;
    if (!read.ok()) {
        return raiseError(read.error(), nullptr);
    }
    const std::span<const float> values =
        (early.done() ? early.values() : std::span<const float>(y.as<float>())).first(read.value());
    if (read.value() != static_cast<std::size_t>(stored)) {
        PyRef shorter = newArray(static_cast<std::int64_t>(read.value()), ArrayType::float32);
        BufferView kept;
        if (!shorter || !kept.acquire(shorter.get())) {
            return nullptr;
        }
        std::copy(values.begin(), values.end(), kept.as<float>().begin());
        ordinate = std::move(shorter);
    } else if (early.done()) {
        std::copy(values.begin(), values.end(), y.as<float>().begin());
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

    // The file stays open from the directory scan to the last data read. A short single spectrum is
    // read whole in this one stretch without the GIL, which is then held only to make its objects.
    std::optional<ByteSource> source;
    std::vector<ReadReport> reports;
    const bool spectrum = request.codes.extendType != extendType3D;
    std::optional<SpectrumPlan> plan;
    EarlyValues early;
    auto located = withoutGil([&]() -> Result<LocatedBlocks> {
        auto opened = file.open();
        if (!opened.ok()) {
            return opened.error();
        }
        source.emplace(std::move(opened).value());
        auto blocks = readOnNewCursor(*source, reports,
                                      [&](Cursor& cursor) { return locateWithParameters(cursor, request.codes); });
        if (spectrum && blocks.ok() && blocks.value().locations.found()) {
            plan = planAndReadEarly(source, blocks.value().locations.offsetToData, blocks.value().parameters, early);
        }
        return blocks;
    });
    reportFailedReads(reports);
    // A read that a signal handler stopped ends the call with the handler's exception at once, so
    // that no error met later while the objects are made can drop it.
    if (early.done() && !early.result().ok() && early.result().error().kind == ErrorKind::interrupted) {
        return raiseError(early.result().error(), nullptr);
    }
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
    if (!spectrum) {
        return mapData(module, request, source, locations, located.value().parameters, parameters.get());
    }
    return singleSpectrum(module, request, source, locations.offsetToData, *plan, early, parameters.get());
}

}  // namespace

PyMethodDef getOpusDataDef = {
    "getOpusData", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entryPoint<withState<getOpusData>>)),
    METH_FASTCALL | METH_KEYWORDS, texts::getOpusDataDoc};

}  // namespace korvex
