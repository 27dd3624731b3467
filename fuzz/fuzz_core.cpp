// Fuzz target of the parsing core: one input is one file, read from memory as the module reads a
// file object's bytes. It runs the core as the module's functions do, without Python: the magic
// test, the listing, and getOpusData's plans and reads for each listed block and for a few more
// requests, with arrays in place of the NumPy arrays the module makes.
//
// Which further request is made comes from the file itself: bytes 4 and 5, the start of
// versionNumber, which reading never uses. So every input is a plain file that the module's
// functions can be given as it is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "extract/assembly.hpp"
#include "extract/values.hpp"
#include "format/block_type.hpp"
#include "format/byte_source.hpp"
#include "format/checked.hpp"
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
        if (length != 0 && !checkedMul(bytes, length, bytes)) {
            return std::nullopt;
        }
    }
    return empty ? 0 : bytes / static_cast<std::int64_t>(sizeof(float));
}

// The values of an axis the module spaces itself; none when NumPy refuses its count.
std::optional<std::int64_t> axis(const AxisPlan& plan, std::size_t inputSize) {
    if (plan.spacing == AxisPlan::Spacing::native && fits(plan.count, sizeof(double), inputSize)) {
        std::vector<double> values(static_cast<std::size_t>(plan.count));
        evenlySpaced(plan.first, plan.last, values);
    }
    return plan.length();
}

void singleSpectrum(const ByteSource& source, std::int64_t offsetToData, const ParameterList& parameters,
                    std::size_t inputSize) {
    const SpectrumPlan plan = planSpectrum(parameters, offsetToData);
    if (plan.missingLabel) {
        return;
    }
    const auto count = axis(plan.x, inputSize);
    if (!count || plan.offsetError) {
        return;
    }
    const std::int64_t stored = storedValueCount(source, offsetToData, *count);
    std::vector<float> y(static_cast<std::size_t>(stored));
    auto read = readValues(source, offsetToData, y);
    if (read.ok() && read.value() != static_cast<std::size_t>(stored)) {
        std::abort();  // a source in memory never shrinks
    }
}

void mapCube(const ByteSource& source, std::int64_t offsetToData, const MapGeometry& geometry, std::size_t inputSize) {
    const auto values = float32Values({geometry.npy, geometry.npx, geometry.npt});
    if (!values || !fits(*values, sizeof(float), inputSize)) {
        return;
    }
    std::vector<float> cube(static_cast<std::size_t>(*values));
    std::vector<ReadReport> reports;
    (void)readMapCube(source, offsetToData, geometry, cube, reports);
}

void traceMaps(const ByteSource& source, std::int64_t offsetToData, const MapGeometry& geometry,
               std::size_t inputSize) {
    std::vector<ReadReport> reports;
    auto planned = planTraceMaps(source, offsetToData, geometry, reports);
    if (!planned.ok()) {
        return;
    }
    const TraceMapsPlan& plan = planned.value();
    std::vector<float> stack;
    if (plan.stacks()) {
        const auto values = float32Values({geometry.npy, geometry.npx, plan.traces()});
        if (!values) {
            return;
        }
        if (fits(*values, sizeof(float), inputSize)) {
            stack.resize(static_cast<std::size_t>(*values));
        }
    }
    // A stack skipped for its size still has its names read, as when it is not made at all.
    TraceNames names;
    (void)readTraceMaps(source, plan, geometry, stack, names);
    for (const TraceNames::Name& name : names.names) {
        (void)names.textOf(name);
    }
}

void mapData(const ByteSource& source, const BlockRequest& request, const BlockLocations& locations,
             const ParameterList& parameters, std::size_t inputSize) {
    const MapPlan plan = planMap(source, request, locations, parameters);
    if (!plan.ready()) {
        return;
    }
    const auto npx = axis(plan.mapX, inputSize);
    const auto npy = npx ? axis(plan.mapY, inputSize) : std::nullopt;
    const auto npt = npy ? axis(plan.x, inputSize) : std::nullopt;
    if (!npt) {
        return;
    }
    const MapGeometry geometry{*npt, *npx, *npy};
    if (plan.traces) {
        traceMaps(source, locations.offsetToData, geometry, inputSize);
    } else {
        mapCube(source, locations.offsetToData, geometry, inputSize);
    }
}

void getOpusData(const ByteSource& source, const BlockRequest& request, std::size_t inputSize) {
    Cursor cursor(source);
    auto located = locateWithParameters(cursor, request);
    if (!located.ok() || !located.value().locations.found()) {
        return;
    }
    const LocatedBlocks& found = located.value();
    if (request.extendType == extendType3D) {
        mapData(source, request, found.locations, found.parameters, inputSize);
    } else {
        singleSpectrum(source, found.locations.offsetToData, found.parameters, inputSize);
    }
}

std::size_t rowOf(std::string_view name) {
    for (std::size_t row = 0; row < dataBlockDict.size(); ++row) {
        if (dataBlockDict[row].name == name) {
            return row;
        }
    }
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto source = ByteSource::fromMemory({data, size});
    auto magic = isOpusFile(source);
    if (!magic.ok() || !magic.value()) {
        return 0;
    }
    std::vector<ReadReport> reports;
    auto listing = readOnNewCursor(source, reports, [](Cursor& cursor) { return listContents(cursor); });
    // Each request once: a file may list one block many times, and there are 160 requests at most.
    std::vector<BlockRequest> requests;
    const auto add = [&](const BlockRequest& request) {
        const auto same = [&](const BlockRequest& other) {
            return other.dataBlockRow == request.dataBlockRow && other.extendType == request.extendType &&
                   other.derivType == request.derivType;
        };
        if (std::none_of(requests.begin(), requests.end(), same)) {
            requests.push_back(request);
        }
    };
    if (listing.ok()) {
        for (const ListedBlock& listed : listing.value()) {
            add({listed.dataBlockRow, listed.extendType == extendType3D ? extendType3D : 0, listed.derivType});
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
