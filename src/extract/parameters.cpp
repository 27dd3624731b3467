// The parameter block reader and the merge of a request's parameter blocks.
#include "extract/parameters.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <unordered_map>

#include "extract/text.hpp"

namespace korvex {

namespace {

constexpr std::size_t labelSize = 4;
constexpr std::size_t headerSize = 8;  // label, type and size

// A label with the NULs at its ends removed: its bytes as one number, the first byte lowest and
// zeros above the last, and how many there are.
struct Label {
    std::uint32_t bytes;
    std::uint8_t length;
};

// `raw` is the four stored bytes, the first one lowest.
Label stripNuls(std::uint32_t raw) {
    if (raw == 0) {
        return {0, 0};
    }
    const int leading = std::countr_zero(raw) / 8;  // NULs before the label, the low bytes
    const int trailing = std::countl_zero(raw) / 8;
    return {raw >> (8 * leading), static_cast<std::uint8_t>(labelSize - leading - trailing)};
}

constexpr Label endLabel = {'E' | ('N' << 8) | ('D' << 16), 3};

// Whether the four bytes of a label are UTF-8; most labels are ASCII.
bool labelIsUtf8(std::uint32_t raw, std::span<const std::uint8_t, labelSize> bytes) {
    return (raw & 0x80808080u) == 0 || isUtf8(bytes);
}

void setLabel(ParameterRecord& record, Label label) {
    for (std::size_t i = 0; i < labelSize; ++i) {
        record.label[i] = static_cast<std::uint8_t>(label.bytes >> (8 * i));
    }
    record.labelLength = label.length;
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

enum class Step { record, end };

// Reads the record at the cursor field by field, each field where the cursor finds it: the way
// for a record that runs past the end of the read-ahead window or of the file.
Result<Step> readRecord(Cursor& cursor, std::int64_t offset, ParameterList& list) {
    std::array<std::uint8_t, labelSize> raw;
    auto got = cursor.read(raw.data(), raw.size());
    if (!got.ok()) {
        return got.error();
    }
    if (got.value() != raw.size()) {
        return Error::unterminatedParametersAt(offset);
    }
    const auto rawLabel = littleEndianAt<std::uint32_t>(raw.data());
    if (!labelIsUtf8(rawLabel, raw)) {
        return Error::parameterLabelOf(raw);
    }
    const Label label = stripNuls(rawLabel);
    if (label.bytes == endLabel.bytes && label.length == endLabel.length) {
        return Step::end;
    }
    ParameterRecord record;
    setLabel(record, label);
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
    return Step::record;
}

}  // namespace

void ParameterList::add(const ParameterRecord& record) {
    append() = record;
    compactWhenDue();
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

// Records are decoded where the cursor's read-ahead window holds them whole, and written straight
// into the list; a record that the window does not hold whole (at its end, or at the end of the
// file) goes through readRecord, from its first byte. Either way gives the same records, errors and
// reports, and leaves the cursor at the same place: reading bytes that the window holds has no
// other effect than copying them.
Result<std::size_t> getParams(Cursor& cursor, std::int64_t offset, ParameterList& list) {
    if (offset < 0) {
        return Error::fromSystem(EINVAL);
    }
    cursor.position = offset;
    std::size_t count = 0;
    for (;;) {
        const std::span<const std::uint8_t> ahead = cursor.buffered();
        if (ahead.size() >= headerSize) {
            const std::uint8_t* bytes = ahead.data();
            const auto rawLabel = littleEndianAt<std::uint32_t>(bytes);
            if (!labelIsUtf8(rawLabel, ahead.first<labelSize>())) {
                cursor.skip(labelSize);
                std::array<std::uint8_t, labelSize> raw;
                std::copy_n(bytes, labelSize, raw.begin());
                return Error::parameterLabelOf(raw);
            }
            const Label label = stripNuls(rawLabel);
            if (label.bytes == endLabel.bytes && label.length == endLabel.length) {
                cursor.skip(labelSize);
                return count;
            }
            const auto type = std::bit_cast<std::int16_t>(littleEndianAt<std::uint16_t>(bytes + 4));
            const auto size = std::bit_cast<std::int16_t>(littleEndianAt<std::uint16_t>(bytes + 6));
            std::size_t valueSize;
            switch (type) {
                case 0:
                    valueSize = 4;
                    break;
                case 1:
                    valueSize = 8;
                    break;
                case 2:
                case 3:
                case 4:
                    if (size < 0) {
                        cursor.skip(headerSize);
                        return Error::unterminatedParametersAt(offset);
                    }
                    valueSize = 2 * static_cast<std::size_t>(size);
                    break;
                default:
                    cursor.skip(headerSize);
                    return Error::parameterTypeOf(type);
            }
            if (valueSize <= ahead.size() - headerSize) {
                const std::uint8_t* value = bytes + headerSize;
                ParameterRecord& record = list.append();
                setLabel(record, label);
                if (type == 0) {
                    record.type = ParameterType::integer;
                    record.integer = std::bit_cast<std::int32_t>(littleEndianAt<std::uint32_t>(value));
                } else if (type == 1) {
                    record.type = ParameterType::real;
                    record.real = std::bit_cast<double>(littleEndianAt<std::uint64_t>(value));
                } else {
                    const auto kept = beforeFirstNul(std::span<const std::uint8_t>(value, valueSize));
                    record.type = ParameterType::text;
                    record.textStart = list.text.size();
                    record.textLength = kept.size();
                    list.text.insert(list.text.end(), kept.begin(), kept.end());
                }
                list.compactWhenDue();
                cursor.skip(headerSize + valueSize);
                ++count;
                continue;
            }
        }
        auto step = readRecord(cursor, offset, list);
        if (!step.ok()) {
            return step.error();
        }
        if (step.value() == Step::end) {
            return count;
        }
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
