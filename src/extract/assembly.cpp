// The plans of a getOpusData result: lookups, axes, the map geometry and the end of a trace read.
#include "extract/assembly.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "extract/values.hpp"
#include "format/block_type.hpp"

namespace korvex {

Result<LocatedBlocks> locateWithParameters(Cursor& cursor, const BlockRequest& request) {
    auto locations = locateBlocks(cursor, request);
    if (!locations.ok()) {
        return locations.error();
    }
    LocatedBlocks found{locations.value(), {}};
    if (!found.locations.found()) {
        return found;
    }
    auto parameters = mergeParameters(cursor, found.locations);
    if (!parameters.ok()) {
        return parameters.error();
    }
    found.parameters = std::move(parameters).value();
    return found;
}

std::optional<double> ParameterValue::number() const {
    switch (type) {
        case ParameterType::integer:
            return static_cast<double>(integer);
        case ParameterType::real:
            return real;
        case ParameterType::text:
            break;
    }
    return std::nullopt;
}

bool ParameterValue::equalsZero() const {
    return (type == ParameterType::integer && integer == 0) || (type == ParameterType::real && real == 0.0);
}

std::optional<std::int64_t> AxisPlan::length() const {
    if (spacing == Spacing::python || count < 0) {
        return std::nullopt;
    }
    return count;
}

namespace {

// A label of up to four bytes and its length in one integer, so that a record's label is compared
// with each wanted label at once.
constexpr std::uint64_t labelKey(std::span<const std::uint8_t> bytes) {
    std::uint64_t key = bytes.size();
    for (std::size_t i = 0; i < bytes.size() && i < 4; ++i) {
        key |= std::uint64_t{bytes[i]} << (8 * (i + 1));
    }
    return bytes.size() <= 4 ? key : ~std::uint64_t{0};  // a longer text is no record's label
}

std::uint64_t labelKey(std::string_view label) {
    return labelKey(std::span(reinterpret_cast<const std::uint8_t*>(label.data()), label.size()));
}

// The values of `labels` in `list`, in order, into `values` (each the last record of its label),
// in one pass over the records; the first missing label, if any.
template <std::size_t N>
std::optional<std::string_view> lookUpAll(const ParameterList& list, std::span<const std::string_view, N> labels,
                                          std::span<ParameterValue, N> values) {
    std::array<std::uint64_t, N> wanted;
    std::transform(labels.begin(), labels.end(), wanted.begin(), [](std::string_view label) { return labelKey(label); });
    std::array<const ParameterRecord*, N> found{};
    for (const ParameterRecord& record : list.records) {
        const std::uint64_t key = labelKey(record.labelBytes());
        for (std::size_t i = 0; i < N; ++i) {
            if (key == wanted[i]) {
                found[i] = &record;
            }
        }
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (found[i] == nullptr) {
            return labels[i];
        }
        values[i] = ParameterValue{found[i]->type, found[i]->integer, found[i]->real};
    }
    return std::nullopt;
}

// An axis whose count is an int and whose ends are numbers.
AxisPlan numericAxis(double first, const ParameterValue& end, std::int64_t count) {
    AxisPlan plan;
    plan.count = count;
    plan.first = first;
    plan.last = *end.number();
    plan.end = end;
    plan.spacing = count >= 0 && spacingIsExact(plan.first, plan.last) ? AxisPlan::Spacing::native
                                                                        : AxisPlan::Spacing::numpy;
    return plan;
}

}  // namespace

AxisPlan planAxis(const ParameterValue& first, const ParameterValue& last, const ParameterValue& count) {
    const auto from = first.number();
    if (count.type != ParameterType::integer || !from || !last.number()) {
        return AxisPlan{};
    }
    return numericAxis(*from, last, count.integer);
}

AxisPlan planMapAxis(const ParameterValue& first, const ParameterValue& step, const ParameterValue& count) {
    const auto from = first.number();
    if (count.type != ParameterType::integer || !from || !step.number()) {
        return AxisPlan{};
    }
    // Python's arithmetic: exact while every operand is an int (int32 values keep it within
    // int64), a float as soon as one is.
    const std::int64_t steps = count.integer - 1;
    ParameterValue span;
    if (step.type == ParameterType::integer) {
        span.integer = step.integer * steps;
    } else {
        span = {ParameterType::real, 0, step.real * static_cast<double>(steps)};
    }
    ParameterValue last;
    if (first.type == ParameterType::integer && span.type == ParameterType::integer) {
        last.integer = first.integer + span.integer;
    } else {
        last = {ParameterType::real, 0, *from + *span.number()};
    }
    return numericAxis(*from, last, count.integer);
}

SpectrumPlan planSpectrum(const ParameterList& parameters, std::int64_t offsetToData, std::int64_t fileSize) {
    SpectrumPlan plan;
    std::array<ParameterValue, spectrumLabels.size()> values;
    plan.missingLabel = lookUpAll(parameters, std::span(spectrumLabels), std::span(values));
    if (plan.missingLabel) {
        return plan;
    }
    static_assert(spectrumLabels[0] == "NPT" && spectrumLabels[1] == "FXV" && spectrumLabels[2] == "LXV");
    plan.countPastFile = firstCountPastFile(std::array{spectrumLabels[0]}, std::array{values[0]}, fileSize);
    plan.x = planAxis(values[1], values[2], values[0]);
    if (offsetToData < 0) {
        plan.offsetError = Error::fromSystem(EINVAL);
    }
    return plan;
}

std::optional<ParameterValue> valueOf(const ParameterList& list, std::string_view label) {
    ParameterValue value;
    if (lookUpAll(list, std::span<const std::string_view, 1>(&label, 1), std::span<ParameterValue, 1>(&value, 1))) {
        return std::nullopt;
    }
    return value;
}

bool MapPlan::ready() const {
    return !missingLabel && !noUnderivedBlock && !originalError && !missingOriginalLabel;
}

std::optional<MapGeometry> MapPlan::geometry() const {
    const auto npt = x.length();
    const auto npx = mapX.length();
    const auto npy = mapY.length();
    if (!npt || !npx || !npy) {
        return std::nullopt;
    }
    return MapGeometry{*npt, *npx, *npy};
}

MapPlan planMap(const ByteSource& source, const BlockRequest& request, const BlockLocations& locations,
                const ParameterList& parameters) {
    MapPlan plan;
    auto& values = plan.values;
    plan.missingLabel = lookUpAll(parameters, std::span(mapLabels), std::span(values));
    if (plan.missingLabel) {
        return plan;
    }
    plan.originalGeometry =
        request.derivType != 0 && (values[mapLabel("NPX")].equalsZero() || values[mapLabel("NPY")].equalsZero());
    if (plan.originalGeometry) {
        if (locations.offsetToOriginalParams == notFound) {
            plan.noUnderivedBlock = true;
            return plan;
        }
        auto read = readOnNewCursor(source, plan.originalReports, [&](Cursor& cursor) {
            return getParams(cursor, locations.offsetToOriginalParams, plan.original);
        });
        if (!read.ok()) {
            plan.originalError = read.error();
            return plan;
        }
        std::array<ParameterValue, geometryLabels.size()> taken;
        plan.missingOriginalLabel = lookUpAll(plan.original, std::span(geometryLabels), std::span(taken));
        if (plan.missingOriginalLabel) {
            return plan;
        }
        std::copy(taken.begin(), taken.end(), values.begin() + mapLabel(geometryLabels[0]));
    }
    plan.countPastFile =
        firstCountPastFile(std::array<std::string_view, 3>{"NPT", "NPX", "NPY"},
                           std::array{values[mapLabel("NPT")], values[mapLabel("NPX")], values[mapLabel("NPY")]},
                           source.size());
    plan.mapX = planMapAxis(values[mapLabel("AOX")], values[mapLabel("DDX")], values[mapLabel("NPX")]);
    plan.mapY = planMapAxis(values[mapLabel("AOY")], values[mapLabel("DDY")], values[mapLabel("NPY")]);
    plan.x = planAxis(values[mapLabel("FXV")], values[mapLabel("LXV")], values[mapLabel("NPT")]);
    plan.traces = dataBlockDict[request.dataBlockRow].name == "TRC";
    return plan;
}

Result<MapOutcome> readMapCube(const ByteSource& source, std::int64_t offsetToData, const MapGeometry& geometry,
                               std::span<float> cube, std::vector<ReadReport>& reports) {
    auto block = readOnNewCursor(source, reports, [&](Cursor& cursor) { return readMapBlock(cursor, offsetToData); });
    if (!block.ok()) {
        return block.error();
    }
    return fillCube(source, block.value(), geometry, cube);
}

bool TraceMapsPlan::stacks() const {
    return plan.traces > 0 && plan.outcome.stop == MapStop::none && !plan.error;
}

Result<TraceMapsPlan> planTraceMaps(const ByteSource& source, std::int64_t offsetToData, const MapGeometry& geometry,
                                    std::vector<ReadReport>& reports) {
    auto block = readOnNewCursor(source, reports, [&](Cursor& cursor) { return readMapBlock(cursor, offsetToData); });
    if (!block.ok()) {
        return block.error();
    }
    TraceMapsPlan traces{std::move(block).value(), {}};
    auto planned = planTraces(source, traces.block, geometry);
    if (!planned.ok()) {
        return planned.error();
    }
    traces.plan = std::move(planned).value();
    return traces;
}

TraceMapsEnd readTraceMaps(const ByteSource& source, const TraceMapsPlan& plan, const MapGeometry& geometry,
                           std::span<float> stack, TraceNames& names) {
    using Kind = TraceMapsEnd::Kind;
    auto read = readTraces(source, plan.block, geometry, plan.traces(), stack, names);
    if (!read.ok()) {
        return {Kind::error, read.error()};
    }
    if (read.value().stop == MapStop::wrongCount) {
        return {Kind::wrongCount, std::nullopt, read.value().values};
    }
    const TracePlan& traces = plan.plan;
    if (traces.error) {
        return {Kind::error, traces.error};
    }
    if (traces.outcome.stop == MapStop::wrongCount) {
        return {Kind::wrongCount, std::nullopt, traces.outcome.values};
    }
    if (traces.outcome.stop == MapStop::shortRecord) {
        return {Kind::shortRecord, std::nullopt, 0, traces.outcome.record};
    }
    if (traces.traces == 0) {
        return {Kind::nothingToStack, std::nullopt, 0, 0};
    }
    return {};
}

}  // namespace korvex
