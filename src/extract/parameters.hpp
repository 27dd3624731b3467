// Parameter blocks: runs of labelled records ended by the label "END", and their merge.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "extract/request.hpp"
#include "format/readers.hpp"
#include "format/result.hpp"

namespace korvex {

enum class ParameterType : std::uint8_t { integer, real, text };

// One record, its value decoded as far as the core decodes it.
struct ParameterRecord {
    std::array<std::uint8_t, 4> label{};  // UTF-8, the NULs at both ends removed
    std::uint8_t labelLength = 0;
    ParameterType type = ParameterType::integer;
    std::int32_t integer = 0;     // type 0
    double real = 0.0;            // type 1
    std::size_t textStart = 0;    // types 2-4: the bytes before the first NUL, in ParameterList::text
    std::size_t textLength = 0;

    std::span<const std::uint8_t> labelBytes() const { return {label.data(), labelLength}; }
};

// Records in reading order; where one label comes twice, the later record's value counts.
class ParameterList {
public:
    std::vector<ParameterRecord> records;
    std::vector<std::uint8_t> text;

    // Adds a record. A long list is compacted now and then, so that a block that repeats a few
    // labels costs memory by its labels, not by its records.
    void add(const ParameterRecord& record);
    // The same in two steps, for a reader that writes the record in place: append() gives a new
    // record at the end, and once it is filled, compactWhenDue() does what add() does after it.
    ParameterRecord& append() { return records.emplace_back(); }
    void compactWhenDue() {
        if (records.size() >= compactAt_) {
            compact();
        }
    }
    // Leaves one record per label, in the label's first place, with its last value.
    void compact();

    std::span<const std::uint8_t> textOf(const ParameterRecord& record) const {
        return std::span<const std::uint8_t>(text).subspan(record.textStart, record.textLength);
    }

private:
    static constexpr std::size_t fewRecords = 4096;
    std::size_t compactAt_ = fewRecords;
};

// getParams: appends to `list` the records of the parameter block at `offset`, up to its "END".
//
//   offset  size          field
//   0       4             label  UTF-8, NULs at either end not part of it; "END" ends the block
//   4       2             type   int16: 0 int32, 1 float64, 2, 3 and 4 text
//   6       2             size   int16: length of a text value in 2-byte units; ignored otherwise
//   8       4, 8, 2*size  value  little-endian; text up to its first NUL
//
// Records follow each other with no gap. A type and size that cannot be read whole read as 0, and
// so does an int or double value, each with a report. Errors: EINVAL for a negative offset;
// parameterLabel for a label that is not UTF-8; parameterType for a type outside 0-4;
// unterminatedParameters when a label cannot be read whole, and for a negative text size (which
// would read to the end of the file).
Result<std::size_t> getParams(Cursor& cursor, std::int64_t offset, ParameterList& list);

// The parameter merge: the data parameter block, then the acquisition, instrument, sample and FT
// blocks that exist, in that order, all read into one list (later records win).
Result<ParameterList> mergeParameters(Cursor& cursor, const BlockLocations& locations);

}  // namespace korvex
