// The parameter block reader and the merge of a request's parameter blocks.
#include "extract/parameters.hpp"

#include <algorithm>
#include <cerrno>
#include <unordered_map>

#include "extract/text.hpp"

namespace korvex {

namespace {

constexpr std::array<std::uint8_t, 3> endLabel = {'E', 'N', 'D'};

std::span<const std::uint8_t> stripNuls(std::span<const std::uint8_t> label) {
    while (!label.empty() && label.front() == 0) {
        label = label.subspan(1);
    }
    while (!label.empty() && label.back() == 0) {
        label = label.first(label.size() - 1);
    }
    return label;
}

// Reads a text value of `byteCount` bytes (fewer where the file ends) into the list's text.
Result<std::size_t> readText(Cursor& cursor, std::size_t byteCount, ParameterList& list, ParameterRecord& record) {
    const std::size_t start = list.text.size();
    list.text.resize(start + byteCount);
    auto got = cursor.read(list.text.data() + start, byteCount);
    if (!got.ok()) {
        return got.error();
    }
    const auto kept = beforeFirstNul(std::span<const std::uint8_t>(list.text).subspan(start, got.value()));
    list.text.resize(start + kept.size());
    record.textStart = start;
    record.textLength = kept.size();
    return kept.size();
}

}  // namespace

void ParameterList::add(const ParameterRecord& record) {
    records.push_back(record);
    if (records.size() >= compactAt_) {
        compact();
    }
}

void ParameterList::compact() {
    // A label is at most four bytes; with its length it makes a unique key.
    const auto keyOf = [](const ParameterRecord& record) {
        std::uint64_t key = record.labelLength;
        for (std::uint8_t byte : record.labelBytes()) {
            key = key << 8 | byte;
        }
        return key;
    };
    std::unordered_map<std::uint64_t, std::size_t> place;
    std::vector<ParameterRecord> kept;
    for (const ParameterRecord& record : records) {
        const auto [at, first] = place.try_emplace(keyOf(record), kept.size());
        if (first) {
            kept.push_back(record);
        } else {
            kept[at->second] = record;
        }
    }
    records = std::move(kept);
    compactAt_ = std::max(fewRecords, 2 * records.size());
}

Result<std::size_t> getParams(Cursor& cursor, std::int64_t offset, ParameterList& list) {
    if (offset < 0) {
        return Error::fromSystem(EINVAL);
    }
    cursor.position = offset;
    std::size_t count = 0;
    for (;;) {
        std::array<std::uint8_t, 4> raw;
        auto got = cursor.read(raw.data(), raw.size());
        if (!got.ok()) {
            return got.error();
        }
        if (got.value() != raw.size()) {
            return Error::unterminatedParametersAt(offset);
        }
        if (!isUtf8(raw)) {
            return Error::parameterLabelOf(raw);
        }
        const auto label = stripNuls(raw);
        if (std::ranges::equal(label, endLabel)) {
            return count;
        }
        ParameterRecord record;
        std::copy(label.begin(), label.end(), record.label.begin());
        record.labelLength = static_cast<std::uint8_t>(label.size());
        const std::int16_t type = readShort(cursor);
        const std::int16_t size = readShort(cursor);
        switch (type) {
            case 0:
                record.type = ParameterType::integer;
                record.integer = readInt(cursor);
                break;
            case 1:
                record.type = ParameterType::real;
                record.real = readDouble(cursor);
                break;
            case 2:
            case 3:
            case 4: {
                record.type = ParameterType::text;
                if (size < 0) {
                    return Error::unterminatedParametersAt(offset);
                }
                auto text = readText(cursor, 2 * static_cast<std::size_t>(size), list, record);
                if (!text.ok()) {
                    return text.error();
                }
                break;
            }
            default:
                return Error::parameterTypeOf(type);
        }
        list.add(record);
        ++count;
    }
}

Result<ParameterList> mergeParameters(Cursor& cursor, const BlockLocations& locations) {
    ParameterList list;
    list.records.reserve(128);  // what a request's blocks hold together in files from instruments
    for (const std::int64_t offset : {locations.offsetToParams, locations.offsetToAcqParams,
                                      locations.offsetToInstParams, locations.offsetToSampleParams,
                                      locations.offsetToFTParams}) {
        if (offset == notFound) {
            continue;
        }
        auto read = getParams(cursor, offset, list);
        if (!read.ok()) {
            return read.error();
        }
    }
    return list;
}

}  // namespace korvex
