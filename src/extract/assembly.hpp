// How a getOpusData result is assembled: the blocks and merged parameters of a request, the values
// a builder looks up, its axes, the geometry of a map (its own or the underived data's), and which
// failure of a data read wins. The module turns these plans into Python objects and exceptions.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "extract/maps.hpp"
#include "extract/parameters.hpp"
#include "extract/request.hpp"
#include "format/byte_source.hpp"
#include "format/readers.hpp"
#include "format/result.hpp"

namespace korvex {

// The located blocks of a request and, when its data block and data parameter block both exist,
// the records of the parameter merge.
struct LocatedBlocks {
    BlockLocations locations;
    ParameterList parameters;
};

// The directory scan, then the parameter merge; failed primitive reads go to the cursor's reports.
Result<LocatedBlocks> locateWithParameters(Cursor& cursor, const BlockRequest& request);

// A parameter's value as the `parameters` dict holds it: an int, a float or a str.
struct ParameterValue {
    ParameterType type = ParameterType::integer;
    std::int64_t integer = 0;
    double real = 0.0;

    // The value as a float, when it is a number.
    std::optional<double> number() const;
    // value == 0 as Python compares it: an int 0 or a float of either zero; never a str.
    bool equalsZero() const;
};

// The value of the last record of `label`, or none when the list has none.
std::optional<ParameterValue> valueOf(const ParameterList& list, std::string_view label);

// An evenly spaced axis as numpy.linspace(first, last, count) makes it.
struct AxisPlan {
    enum class Spacing : std::uint8_t {
        native,  // `count` values from `first` to `last`, spaced by evenlySpaced
        numpy,   // NumPy spaces the ends itself (or refuses a negative count): ends too large or not finite
        python,  // a count that is not an int or an end that is not a number: Python and NumPy judge them
    };
    Spacing spacing = Spacing::python;
    std::int64_t count = 0;  // native and numpy
    double first = 0.0;      // native
    double last = 0.0;       // native
    ParameterValue end;      // native and numpy: the last end as an int or a float, as Python holds it

    // The number of values, when the count is one that NumPy takes (an int, at least 0).
    std::optional<std::int64_t> length() const;
};

// The x axis: linspace(first, last, count).
AxisPlan planAxis(const ParameterValue& first, const ParameterValue& last, const ParameterValue& count);

// Map coordinates: linspace(first, first + step * (count - 1), count), the last end computed as
// Python computes it (in exact integers when all three are ints).
AxisPlan planMapAxis(const ParameterValue& first, const ParameterValue& step, const ParameterValue& count);

// A count of values that the file cannot back: more than its size in bytes. A few bytes of a
// damaged file would otherwise buy gigabytes of axis before anything is read.
struct CountPastFile {
    std::string_view label;
    std::int64_t count = 0;
    std::int64_t fileSize = 0;
};

// The first of `labels` (looked up in `values`, in order) whose value is an int greater than
// `fileSize`; other types are left to NumPy.
template <std::size_t N>
std::optional<CountPastFile> firstCountPastFile(const std::array<std::string_view, N>& labels,
                                                const std::array<ParameterValue, N>& values, std::int64_t fileSize) {
    for (std::size_t i = 0; i < N; ++i) {
        if (values[i].type == ParameterType::integer && values[i].integer > fileSize) {
            return CountPastFile{labels[i], values[i].integer, fileSize};
        }
    }
    return std::nullopt;
}

// The single-spectrum branch: the labels in the order they are looked up.
inline constexpr std::array<std::string_view, 5> spectrumLabels = {"NPT", "FXV", "LXV", "MXY", "MNY"};

struct SpectrumPlan {
    std::optional<std::string_view> missingLabel;  // the first label the parameters lack: KeyError
    std::optional<CountPastFile> countPastFile;    // NPT, once every label is there
    AxisPlan x;
    // Once the axis is made: a data block at a negative offset fails as seeking there does.
    std::optional<Error> offsetError;
};

SpectrumPlan planSpectrum(const ParameterList& parameters, std::int64_t offsetToData, std::int64_t fileSize);

// The map branch: the labels in the order they are looked up, and the geometry among them that a
// derived map takes from the underived data when its own has no columns or no rows.
inline constexpr std::array<std::string_view, 11> mapLabels = {"NPT", "FXV", "LXV", "AOX", "AOY", "DDX",
                                                               "DDY", "NPX", "NPY", "MXY", "MNY"};
inline constexpr std::array<std::string_view, 6> geometryLabels = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};

// The index of `label` in mapLabels.
consteval std::size_t mapLabel(std::string_view label) {
    std::size_t index = 0;
    while (mapLabels[index] != label) {
        ++index;
    }
    return index;
}
static_assert([] {
    for (std::size_t i = 0; i < geometryLabels.size(); ++i) {
        if (mapLabels[mapLabel("AOX") + i] != geometryLabels[i]) {
            return false;
        }
    }
    return true;
}());

struct MapPlan {
    std::optional<std::string_view> missingLabel;  // a label the merged parameters lack: KeyError

    // A derived map whose NPX or NPY is 0: the line "Orignal mapping coordinates used" is printed,
    // then the geometry is read from the underived data parameter block and written into
    // `parameters`. What can stop it, in order:
    bool originalGeometry = false;
    bool noUnderivedBlock = false;                         // none was located
    std::vector<ReadReport> originalReports;               // failed reads of that block
    std::optional<Error> originalError;                    // the read failed
    std::optional<std::string_view> missingOriginalLabel;  // the block lacks a geometry label: KeyError
    ParameterList original;                                // that block's records

    std::array<ParameterValue, mapLabels.size()> values;  // in mapLabels order, the geometry as used
    std::optional<CountPastFile> countPastFile;           // NPT, NPX, then NPY, the geometry as used
    AxisPlan mapX;
    AxisPlan mapY;
    AxisPlan x;
    bool traces = false;  // a "TRC" block holds trace maps; any other a map cube

    // Whether the plan goes on to the axes: no label is missing and the fallback succeeded.
    bool ready() const;
    // NPT, NPX and NPY, when each axis takes its count.
    std::optional<MapGeometry> geometry() const;
};

MapPlan planMap(const ByteSource& source, const BlockRequest& request, const BlockLocations& locations,
                const ParameterList& parameters);

// The map cube: reads the block at `offsetToData` and fills `cube` (NPY x NPX x NPT, zero-filled);
// failed reads of its header and store table go to `reports`.
Result<MapOutcome> readMapCube(const ByteSource& source, std::int64_t offsetToData, const MapGeometry& geometry,
                               std::span<float> cube, std::vector<ReadReport>& reports);

// Trace maps, in two steps around the making of the stack: the block and the count of its traces,
// then the maps and their names.
struct TraceMapsPlan {
    MapBlock block;
    TracePlan plan;

    // The stack is made only when every record fits it; otherwise only the names before the
    // failing record are read, so that a read failing among them fails first, as in reading order.
    bool stacks() const;
    std::int64_t traces() const { return plan.traces; }
};

// Failed reads of the block's header and store table go to `reports`.
Result<TraceMapsPlan> planTraceMaps(const ByteSource& source, std::int64_t offsetToData, const MapGeometry& geometry,
                                    std::vector<ReadReport>& reports);

// What ends the trace maps, the first that applies winning: a failed read of the maps or names; a
// map cut short while it was read (the file shrank); the plan's error; a record of the wrong size;
// a record past the end of the file; no record at all.
struct TraceMapsEnd {
    enum class Kind : std::uint8_t { stacked, error, wrongCount, shortRecord, nothingToStack };
    Kind kind = Kind::stacked;
    std::optional<Error> error;
    std::int64_t values = 0;  // wrongCount: the values of the record
    std::int64_t record = 0;  // shortRecord: the record
};

// Reads the maps into `stack` (NPY x NPX x traces, when plan.stacks(); else empty) and the names
// before the first failing record into `names`.
TraceMapsEnd readTraceMaps(const ByteSource& source, const TraceMapsPlan& plan, const MapGeometry& geometry,
                           std::span<float> stack, TraceNames& names);

}  // namespace korvex
