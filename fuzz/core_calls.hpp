// The module's calls of the parsing core, without Python: the magic test, the listing, and
// getOpusData's plans and reads for each requested block, with arrays in place of the NumPy arrays
// the module makes. The fuzz target runs them on an input in memory and the digest harness on
// files; each hands what every call returns to a sink of its own.
//
// A sink is called as sink(what, values...), `what` naming the step. The fuzz target's sink drops
// everything; the digest harness's hashes it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "extract/assembly.hpp"
#include "extract/values.hpp"
#include "format/block_type.hpp"
#include "format/byte_source.hpp"
#include "format/checked.hpp"
#include "format/contents.hpp"
#include "format/directory.hpp"
#include "format/header.hpp"
#include "format/readers.hpp"

namespace korvex::calls {

// The most bytes an array of a result may take here. The module makes arrays of any size the
// parameters claim; a run here would only run out of memory on a damaged count, so a larger array
// is skipped, and so is one far larger than the file (zeros, mostly, and slow to clear).
struct ArrayLimits {
    std::int64_t mostBytes;
    std::int64_t leastBytes;
    std::int64_t bytesPerFileByte;

    bool fits(std::int64_t count, std::int64_t width, std::int64_t fileSize) const {
        std::int64_t scaled = mostBytes;
        if (!checkedMul(fileSize, bytesPerFileByte, scaled)) {
            scaled = mostBytes;
        }
        const std::int64_t limit = std::min(mostBytes, std::max(leastBytes, scaled));
        return count >= 0 && count <= limit / width;
    }
};

// Values of a float32 array of these lengths, or none where NumPy refuses to make it: when the
// lengths other than 0, times the four bytes of a value, overflow (even if one length is 0).
inline std::optional<std::int64_t> float32Values(std::initializer_list<std::int64_t> lengths) {
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

// Opens the file for one call (`open` returns a Result<ByteSource>) and tests the magic number on
// it, as CallFile::open does for a path: a file without it is refused with notOpusFile.
template <typename Open>
Result<ByteSource> openForCall(Open& open) {
    return requireMagic(open());
}

// The values of an axis the module spaces itself; the number of values, or none when NumPy refuses
// the count.
template <typename Sink>
std::optional<std::int64_t> axis(std::string_view what, const AxisPlan& plan, std::int64_t fileSize,
                                 const ArrayLimits& limits, Sink& sink) {
    if (plan.spacing == AxisPlan::Spacing::native && limits.fits(plan.count, sizeof(double), fileSize)) {
        std::vector<double> values(static_cast<std::size_t>(plan.count));
        evenlySpaced(plan.first, plan.last, values);
        sink(what, plan, std::span<const double>(values));
    } else {
        sink(what, plan);  // spaced by NumPy, or too long to make here
    }
    return plan.length();
}

template <typename Sink>
void singleSpectrum(const ByteSource& source, std::int64_t offsetToData, const ParameterList& parameters,
                    const ArrayLimits& limits, Sink& sink) {
    const SpectrumPlan plan = planSpectrum(parameters, offsetToData, source.size());
    sink("spectrum", plan);
    if (plan.missingLabel || plan.countPastFile) {
        return;
    }
    const auto count = axis("x", plan.x, source.size(), limits, sink);
    if (!count || plan.offsetError) {
        return;
    }
    const std::int64_t stored = storedValueCount(source, offsetToData, *count);
    std::vector<float> y(static_cast<std::size_t>(stored));
    auto read = readValues(source, offsetToData, y);
    const std::size_t got = read.ok() ? read.value() : 0;
    sink("y", read, stored, std::span<const float>(y).first(got));
}

template <typename Sink>
void mapCube(const ByteSource& source, std::int64_t offsetToData, const MapGeometry& geometry,
             const ArrayLimits& limits, Sink& sink) {
    const auto values = float32Values({geometry.npy, geometry.npx, geometry.npt});
    if (!values || !limits.fits(*values, sizeof(float), source.size())) {
        sink("cube not made", values);
        return;
    }
    std::vector<float> cube(static_cast<std::size_t>(*values));
    std::vector<ReadReport> reports;
    auto filled = readMapCube(source, offsetToData, geometry, cube, reports);
    sink("cube", filled, std::span<const ReadReport>(reports), std::span<const float>(cube));
}

template <typename Sink>
void traceMaps(const ByteSource& source, std::int64_t offsetToData, const MapGeometry& geometry,
               const ArrayLimits& limits, Sink& sink) {
    std::vector<ReadReport> reports;
    auto planned = planTraceMaps(source, offsetToData, geometry, reports);
    sink("trace plan", planned, std::span<const ReadReport>(reports));
    if (!planned.ok()) {
        return;
    }
    const TraceMapsPlan& plan = planned.value();
    std::vector<float> stack;
    if (plan.stacks()) {
        const auto values = float32Values({geometry.npy, geometry.npx, plan.traces()});
        sink("stack", values);
        if (!values) {
            return;
        }
        if (limits.fits(*values, sizeof(float), source.size())) {
            stack.resize(static_cast<std::size_t>(*values));
        }
    }
    // A stack skipped for its size still has its names read, as when it is not made at all.
    TraceNames names;
    const TraceMapsEnd end = readTraceMaps(source, plan, geometry, stack, names);
    sink("traces", end, names, std::span<const float>(stack));
}

template <typename Sink>
void mapData(const ByteSource& source, const BlockRequest& request, const BlockLocations& locations,
             const ParameterList& parameters, const ArrayLimits& limits, Sink& sink) {
    const MapPlan plan = planMap(source, request, locations, parameters);
    sink("map", plan);
    if (!plan.ready() || plan.countPastFile) {
        return;
    }
    const auto npx = axis("map x", plan.mapX, source.size(), limits, sink);
    const auto npy = npx ? axis("map y", plan.mapY, source.size(), limits, sink) : std::nullopt;
    const auto npt = npy ? axis("x", plan.x, source.size(), limits, sink) : std::nullopt;
    if (!npt) {
        return;
    }
    const MapGeometry geometry{*npt, *npx, *npy};
    if (plan.traces) {
        traceMaps(source, locations.offsetToData, geometry, limits, sink);
    } else {
        mapCube(source, locations.offsetToData, geometry, limits, sink);
    }
}

// One getOpusData call: its own opening of the file, the directory scan and the parameter merge,
// then the spectrum or the map.
template <typename Open, typename Sink>
void getOpusData(Open& open, const BlockRequest& request, const ArrayLimits& limits, Sink& sink) {
    sink("getOpusData", request);
    auto opened = openForCall(open);
    if (!opened.ok()) {
        sink("open", opened.error());
        return;
    }
    const ByteSource& source = opened.value();
    std::vector<ReadReport> reports;
    auto located = readOnNewCursor(
        source, reports, [&](Cursor& cursor) { return locateWithParameters(cursor, request); });
    sink("located", located, std::span<const ReadReport>(reports));
    if (!located.ok() || !located.value().locations.found()) {
        return;
    }
    const LocatedBlocks& found = located.value();
    if (request.extendType == extendType3D) {
        mapData(source, request, found.locations, found.parameters, limits, sink);
    } else {
        singleSpectrum(source, found.locations.offsetToData, found.parameters, limits, sink);
    }
}

inline std::size_t rowOf(std::string_view name) {
    for (std::size_t row = 0; row < dataBlockDict.size(); ++row) {
        if (dataBlockDict[row].name == name) {
            return row;
        }
    }
    std::abort();
}

// The requests made of a file: each listed block, the ones a test of any file makes, and one that
// the file picks by its bytes 4 and 5, the start of versionNumber, which reading never uses. Each
// request once: a file may list one block many times, and there are 160 requests at most.
inline std::vector<BlockRequest> requestsOf(const std::vector<ListedBlock>* listing,
                                            std::optional<std::array<std::uint8_t, 2>> picked) {
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
    if (listing != nullptr) {
        for (const ListedBlock& listed : *listing) {
            add({listed.dataBlockRow, listed.extendType == extendType3D ? extendType3D : 0, listed.derivType});
        }
    }
    add({rowOf("AB"), 0, 0});
    add({rowOf("AB"), extendType3D, 0});
    add({rowOf("TRC"), extendType3D, 0});
    if (picked) {
        const auto [first, second] = *picked;
        add({first % dataBlockDict.size(), (second & 1) != 0 ? extendType3D : 0,
             static_cast<std::int32_t>((second >> 1) % derivDict.size())});
    }
    return requests;
}

// The magic test, then, for a file that begins with the magic number, the header and the directory
// walk that listContents and the directory scan make, entry by entry. Answers whether the file
// begins with the magic number, and sets `picked` to its bytes 4 and 5 when it has them.
template <typename Open, typename Sink>
bool firstLook(Open& open, Sink& sink, std::optional<std::array<std::uint8_t, 2>>& picked) {
    auto opened = open();
    if (!opened.ok()) {
        sink("open", opened.error());
        return false;
    }
    const ByteSource& source = opened.value();
    const auto magic = isOpusFile(source);
    sink("isOpusFile", magic);
    if (!magic.ok() || !magic.value()) {
        return false;
    }
    Cursor cursor(source);
    const FileHeader header = readFileHeader(cursor);
    sink("header", header);
    auto walk = DirectoryWalk::start(cursor, header);
    if (walk.ok()) {
        while (const auto entry = walk.value().next()) {
            sink("entry", *entry);
        }
    } else {
        sink("directory", walk.error());
    }
    sink("directory reports", std::span<const ReadReport>(cursor.reports));
    std::array<std::uint8_t, 2> bytes{};
    auto read = source.readAt(4, bytes.data(), bytes.size());
    if (read.ok() && read.value() == bytes.size()) {
        picked = bytes;
    }
    return true;
}

template <typename Open, typename Sink>
Result<std::vector<ListedBlock>> listContents(Open& open, Sink& sink) {
    auto opened = openForCall(open);
    if (!opened.ok()) {
        sink("listContents", opened.error());
        return opened.error();
    }
    std::vector<ReadReport> reports;
    auto listing = readOnNewCursor(opened.value(), reports, [](Cursor& cursor) { return korvex::listContents(cursor); });
    sink("listContents", listing, std::span<const ReadReport>(reports));
    return listing;
}

// Every call on one file: isOpusFile, then, for a file that begins with the magic number,
// listContents and getOpusData for each request. Each call opens the file anew, as each of the
// module's calls does.
template <typename Open, typename Sink>
void runCalls(Open& open, const ArrayLimits& limits, Sink& sink) {
    std::optional<std::array<std::uint8_t, 2>> picked;
    if (!firstLook(open, sink, picked)) {
        return;
    }
    const auto listing = listContents(open, sink);
    for (const BlockRequest& request : requestsOf(listing.ok() ? &listing.value() : nullptr, picked)) {
        getOpusData(open, request, limits, sink);
    }
}

}  // namespace korvex::calls
