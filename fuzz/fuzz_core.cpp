// Fuzz target of the parsing core: one input is one file, read from memory as the module reads a
// file object's bytes. It does what the module's functions do with the core, without Python: the
// magic test, the listing, and getOpusData for each listed block and for a few more requests, down
// to allocating the result arrays and reading into them.
//
// Which further request is made comes from the file itself: bytes 4 and 5, the start of
// versionNumber, which reading never uses. So every input is a plain file that the module's
// functions can be given as it is.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "extract/maps.hpp"
#include "extract/parameters.hpp"
#include "extract/request.hpp"
#include "extract/values.hpp"
#include "format/block_type.hpp"
#include "format/byte_source.hpp"
#include "format/contents.hpp"
#include "format/header.hpp"
#include "format/readers.hpp"

using namespace korvex;

namespace {

// The most bytes an array of the result may take here. The module makes arrays of any size the
// parameters claim; the fuzzer would only run out of memory on a damaged count, so a larger array
// is skipped, and so is one far larger than the input (zeros, mostly, and slow to clear).
constexpr std::int64_t mostArrayBytes = std::int64_t{32} << 20;
constexpr std::int64_t leastArrayBytes = std::int64_t{64} << 10;
constexpr std::int64_t arrayBytesPerInputByte = 16;

bool fits(std::int64_t count, std::int64_t width, std::size_t inputSize) {
    const std::int64_t limit = std::min(
        mostArrayBytes, std::max(leastArrayBytes, static_cast<std::int64_t>(inputSize) * arrayBytesPerInputByte));
    return count >= 0 && count <= limit / width;
}

// Values of a float32 array of these lengths, or none where NumPy refuses to make it: when the
// lengths other than 0, times the four bytes of a value, overflow (even if one length is 0).
std::optional<std::int64_t> float32Values(std::initializer_list<std::int64_t> lengths) {
    std::int64_t bytes = sizeof(float);
    bool empty = false;
    for (const std::int64_t length : lengths) {
        empty = empty || length == 0;
        if (length != 0 && __builtin_mul_overflow(bytes, length, &bytes)) {
            return std::nullopt;
        }
    }
    return empty ? 0 : bytes / static_cast<std::int64_t>(sizeof(float));
}

// A parameter's value as the result's `parameters` dict holds it: the last record of its label.
struct Value {
    ParameterType type = ParameterType::integer;
    std::int64_t integer = 0;
    double real = 0.0;

    std::optional<double> number() const {
        if (type == ParameterType::text) {
            return std::nullopt;
        }
        return type == ParameterType::integer ? static_cast<double>(integer) : real;
    }
};

std::optional<Value> lookUp(const ParameterList& list, std::string_view label) {
    std::optional<Value> found;
    for (const ParameterRecord& record : list.records) {
        const auto bytes = record.labelBytes();
        if (std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()) == label) {
            found = Value{record.type, record.integer, record.real};
        }
    }
    return found;
}

// What `list` holds of these labels, all or nothing (a missing label is a KeyError).
template <std::size_t N>
std::optional<std::array<Value, N>> lookUpAll(const ParameterList& list, const std::array<std::string_view, N>& labels) {
    std::array<Value, N> values;
    for (std::size_t i = 0; i < N; ++i) {
        const auto value = lookUp(list, labels[i]);
        if (!value) {
            return std::nullopt;
        }
        values[i] = *value;
    }
    return values;
}

// An axis of `count` values from `first` to `last`, as the module makes it when it spaces the
// values itself (NumPy does when the spacing is not exact). None when NumPy would refuse the count
// (not an int, or negative) or the ends (not numbers).
std::optional<std::int64_t> axis(const Value& first, const Value& last, const Value& count, std::size_t inputSize) {
    const auto from = first.number();
    const auto to = last.number();
    if (count.type != ParameterType::integer || count.integer < 0 || !from || !to) {
        return std::nullopt;
    }
    if (spacingIsExact(*from, *to) && fits(count.integer, sizeof(double), inputSize)) {
        std::vector<double> values(static_cast<std::size_t>(count.integer));
        evenlySpaced(*from, *to, values);
    }
    return count.integer;
}

// A map axis: `count` values from `first` on, `step` apart.
std::optional<std::int64_t> mapAxis(const Value& first, const Value& step, const Value& count, std::size_t inputSize) {
    const auto from = first.number();
    const auto by = step.number();
    if (count.type != ParameterType::integer || !from || !by) {
        return std::nullopt;
    }
    const Value last{ParameterType::real, 0, *from + *by * static_cast<double>(count.integer - 1)};
    return axis(first, last, count, inputSize);
}

// The "2D" branch: the x axis, then the values stored at the data block.
void singleSpectrum(const ByteSource& source, std::int64_t offsetToData, const ParameterList& parameters,
                    std::size_t inputSize) {
    static constexpr std::array<std::string_view, 5> labels = {"NPT", "FXV", "LXV", "MXY", "MNY"};
    const auto values = lookUpAll(parameters, labels);
    if (!values) {
        return;
    }
    const auto count = axis((*values)[1], (*values)[2], (*values)[0], inputSize);
    if (!count || offsetToData < 0) {
        return;
    }
    const std::int64_t stored = storedValueCount(source, offsetToData, *count);
    std::vector<float> y(static_cast<std::size_t>(stored));
    auto read = readValues(source, offsetToData, y);
    if (read.ok() && read.value() != static_cast<std::size_t>(stored)) {
        __builtin_trap();  // a source in memory never shrinks
    }
}

// The map cube: NPY x NPX x NPT values, zero-filled, then the fill.
void mapCube(const ByteSource& source, std::int64_t offsetToData, const MapGeometry& geometry, std::size_t inputSize) {
    const auto values = float32Values({geometry.npy, geometry.npx, geometry.npt});
    if (!values || !fits(*values, sizeof(float), inputSize)) {
        return;
    }
    std::vector<float> cube(static_cast<std::size_t>(*values));
    Cursor cursor(source);
    auto block = readMapBlock(cursor, offsetToData);
    if (!block.ok()) {
        return;
    }
    (void)fillCube(source, block.value(), geometry, cube);
}

// The trace maps: the plan, the stack when every record fits it, then the maps and the names.
void traceMaps(const ByteSource& source, std::int64_t offsetToData, const MapGeometry& geometry,
               std::size_t inputSize) {
    Cursor cursor(source);
    auto block = readMapBlock(cursor, offsetToData);
    if (!block.ok()) {
        return;
    }
    auto planned = planTraces(source, block.value(), geometry);
    if (!planned.ok()) {
        return;
    }
    const TracePlan& plan = planned.value();
    const bool stacks = plan.traces > 0 && plan.outcome.stop == MapStop::none && !plan.error;
    std::vector<float> stack;
    if (stacks) {
        const auto values = float32Values({geometry.npy, geometry.npx, plan.traces});
        if (!values) {
            return;
        }
        if (fits(*values, sizeof(float), inputSize)) {
            stack.resize(static_cast<std::size_t>(*values));
        }
    }
    // A stack skipped for its size still has its names read, as when it is not made at all.
    TraceNames names;
    (void)readTraces(source, block.value(), geometry, plan.traces, stack, names);
    for (const TraceNames::Name& name : names.names) {
        (void)names.textOf(name);
    }
}

// The "3D" branch: the geometry (a derived map without one takes the underived data's), the axes,
// then the cube or the trace maps.
void mapData(const ByteSource& source, const BlockRequest& request, const BlockLocations& locations,
             const ParameterList& parameters, std::size_t inputSize) {
    static constexpr std::array<std::string_view, 11> labels = {"NPT", "FXV", "LXV", "AOX", "AOY", "DDX",
                                                                "DDY", "NPX", "NPY", "MXY", "MNY"};
    auto found = lookUpAll(parameters, labels);
    if (!found) {
        return;
    }
    auto& values = *found;
    const auto isZero = [](const Value& value) { return value.number() == 0.0; };
    if (request.derivType != 0 && (isZero(values[7]) || isZero(values[8]))) {
        if (locations.offsetToOriginalParams == notFound) {
            return;
        }
        ParameterList original;
        Cursor cursor(source);
        if (!getParams(cursor, locations.offsetToOriginalParams, original).ok()) {
            return;
        }
        static constexpr std::array<std::string_view, 6> geometryLabels = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};
        const auto taken = lookUpAll(original, geometryLabels);
        if (!taken) {
            return;
        }
        std::copy(taken->begin(), taken->end(), values.begin() + 3);
    }
    MapGeometry geometry;
    const auto npx = mapAxis(values[3], values[5], values[7], inputSize);
    const auto npy = npx ? mapAxis(values[4], values[6], values[8], inputSize) : std::nullopt;
    const auto npt = npy ? axis(values[1], values[2], values[0], inputSize) : std::nullopt;
    if (!npt) {
        return;
    }
    geometry = {*npt, *npx, *npy};
    if (dataBlockDict[request.dataBlock].name == "TRC") {
        traceMaps(source, locations.offsetToData, geometry, inputSize);
    } else {
        mapCube(source, locations.offsetToData, geometry, inputSize);
    }
}

// getOpusData for one request, from the directory scan on.
void getOpusData(const ByteSource& source, const BlockRequest& request, std::size_t inputSize) {
    Cursor cursor(source);
    auto located = locateBlocks(cursor, request);
    if (!located.ok() || !located.value().found()) {
        return;
    }
    const BlockLocations& locations = located.value();
    auto parameters = mergeParameters(cursor, locations);
    if (!parameters.ok()) {
        return;
    }
    if (request.extendType == extendType3D) {
        mapData(source, request, locations, parameters.value(), inputSize);
    } else {
        singleSpectrum(source, locations.offsetToData, parameters.value(), inputSize);
    }
}

std::size_t rowOf(std::string_view name) {
    for (std::size_t row = 0; row < dataBlockDict.size(); ++row) {
        if (dataBlockDict[row].name == name) {
            return row;
        }
    }
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto source = ByteSource::fromMemory({data, size});
    auto magic = isOpusFile(source);
    if (!magic.ok() || !magic.value()) {
        return 0;
    }
    std::vector<ReadReport> reports;
    auto listing = readReporting(source, reports, [](Cursor& cursor) { return listContents(cursor); });
    // Each request once: a file may list one block many times, and there are 160 requests at most.
    std::vector<BlockRequest> requests;
    const auto add = [&](const BlockRequest& request) {
        const auto same = [&](const BlockRequest& other) {
            return other.dataBlock == request.dataBlock && other.extendType == request.extendType &&
                   other.derivType == request.derivType;
        };
        if (std::none_of(requests.begin(), requests.end(), same)) {
            requests.push_back(request);
        }
    };
    if (listing.ok()) {
        for (const ListedBlock& listed : listing.value()) {
            add({listed.dataBlock, listed.extendType == extendType3D ? extendType3D : 0, listed.derivType});
        }
    }
    // The requests a test of any file makes, and one the file picks.
    add({rowOf("AB"), 0, 0});
    add({rowOf("AB"), extendType3D, 0});
    add({rowOf("TRC"), extendType3D, 0});
    if (size >= 6) {
        add({data[4] % dataBlockDict.size(), (data[5] & 1) != 0 ? extendType3D : 0,
             static_cast<std::int32_t>((data[5] >> 1) % derivDict.size())});
    }
    for (const BlockRequest& request : requests) {
        getOpusData(source, request, size);
    }
    return 0;
}
