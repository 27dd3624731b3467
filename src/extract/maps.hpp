// Map data blocks: the header, the store table, and the walk over the stored records that fills a
// map cube or stacks trace maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/byte_source.hpp"
#include "format/readers.hpp"
#include "format/result.hpp"

namespace korvex {

// MapBlockHeader, at the data block's offset; int32 each:
//
//   offset  size  field
//   0       4     version        not used
//   4       4     storedBlocks   not used
//   8       4     blockOffset    start of the record area, from the start of the block
//   12      4     blockSize      not used
//   16      4     infoSize       bytes of the info record after each record's values
//   20      4     numberEntries  store table entries
//   24      8 * numberEntries    storeTable: one StoreTableEntry each
struct MapBlockHeader {
    std::int32_t version = 0;
    std::int32_t storedBlocks = 0;
    std::int32_t blockOffset = 0;
    std::int32_t blockSize = 0;
    std::int32_t infoSize = 0;
    std::int32_t numberEntries = 0;
};

inline constexpr std::int64_t mapHeaderSize = 24;
inline constexpr std::int64_t storeTableEntrySize = 8;

//   offset  size  field
//   0       4     first   int32: -1 for a skip entry, else the number of the run's first record
//   4       4     second  int32: the bytes a skip entry skips, or the number of the run's last record
//
// Only the size of a run matters; its numbers do not place the records.
struct StoreTableEntry {
    std::int32_t first = 0;
    std::int32_t second = 0;

    bool skips() const { return first == -1; }
    // Records of a run entry: second - first + 1, none when second is below first.
    std::int64_t records() const;
};

struct MapBlock {
    MapBlockHeader header;
    std::vector<StoreTableEntry> storeTable;
    std::int64_t recordArea = 0;  // absolute offset of the first record: offsetToData + blockOffset
};

// Reads the header and then the whole store table of the block at `offsetToData`. A field cut off
// by the end of the file reads as 0 with a report in the cursor, so a block that ends inside its
// header has no entries. Errors: EINVAL for a negative offset, as seeking there gives;
// storeTablePastEnd when numberEntries > 0 and the table would end beyond the file, in which case
// none of it is read.
Result<MapBlock> readMapBlock(Cursor& cursor, std::int64_t offsetToData);

// NPT values in each stored record, NPX columns and NPY rows; each at least 0.
struct MapGeometry {
    std::int64_t npt = 0;
    std::int64_t npx = 0;
    std::int64_t npy = 0;
};

// A stored record as reading the record area in sequence finds it: NPT float32 values, then an
// info record of infoSize bytes, each read as far as the source holds it.
struct StoredRecord {
    std::int64_t valuesAt = 0;
    std::int64_t values = 0;      // whole values read: NPT, or fewer where the source ends
    std::int64_t infoAt = 0;
    std::int64_t infoLength = 0;  // info bytes read
    std::int64_t recordCount = 1;  // records it stands for: a run of records alike, `stride` apart
    std::int64_t stride = 0;      // bytes from one record of the run to the next (0: they read nothing)
    bool infoRefused = false;     // infoSize is below -1, a length that reading refuses

    // Where record `k` of the run (counted from 0) has its values and its info record.
    std::int64_t valuesOf(std::int64_t k) const { return valuesAt + k * stride; }
    std::int64_t infoOf(std::int64_t k) const { return infoAt + k * stride; }
};

// The walk over the record area: store table entries in order, the position moving as a file's
// does while each record's values and info record are read in turn and skip entries are skipped.
// A length of -1 reads to the end of the file; a shorter read stops at the end of the file.
//
// Records of a run that lie whole in the file differ only in where they lie, so they come as one
// record standing for all of them that the file holds, each `stride` bytes after the one before.
// Records that read nothing (past the end of the file, or with no values and no info record) are
// all the same too, so the rest of such a run comes as one record, of stride 0. The walk thus
// costs the entries and a few records each, however many records a run claims.
class RecordWalk {
public:
    // A record area at a negative offset is refused with EINVAL, as seeking there is.
    static Result<RecordWalk> start(const ByteSource& source, const MapBlock& block, std::int64_t npt);

    // The next record, or none at the end. readLength for a skip entry whose length is below -1;
    // interrupted when the thread's InterruptionScope stops the walk, which reads nothing itself.
    Result<std::optional<StoredRecord>> next();

private:
    RecordWalk(const ByteSource& source, const MapBlock& block, std::int64_t npt)
        : source_(source), block_(block), npt_(npt), position_(block.recordArea) {}

    std::int64_t bytesLeft() const;
    // The position after reading `length` bytes (-1: to the end).
    std::int64_t advanced(std::int64_t length) const;

    const ByteSource& source_;
    const MapBlock& block_;
    std::int64_t npt_;
    std::int64_t position_;
    std::size_t entry_ = 0;     // next store table entry
    std::int64_t runLeft_ = 0;  // records of the current run still to give
};

// What ended a walk that fills an array, for the stops that the caller words.
enum class MapStop : std::uint8_t {
    none,
    zeroColumns,  // a record to place while NPX is 0
    beyondGrid,   // a record whose row is NPY or more
    shortRecord,  // a record cut short by the end of the file
    wrongCount,   // a trace record of other than NPX x NPY values
};

struct MapOutcome {
    MapStop stop = MapStop::none;
    std::int64_t record = 0;  // the record that stopped the walk, counted from 0
    std::int64_t values = 0;  // wrongCount: the values that record held
};

// Fills `cube`, NPY x NPX x NPT values zero-filled by the caller: record k is read straight into
// row k / NPX, column k % NPX. Records that lie back to back are read many at a time, in one
// scattered read that drops their info records (a run with no info records is one part of it);
// small records with info records between them are copied out of a window of the file. Errors:
// those of the walk, and readLength for an infoSize below -1 once the first record is placed.
Result<MapOutcome> fillCube(const ByteSource& source, const MapBlock& block, const MapGeometry& geometry,
                            std::span<float> cube);

// How many trace records a walk reads before it stops, found without reading any of them; a
// trace record holds one map of NPX x NPY values. `outcome` holds a wrongCount stop, or a
// shortRecord stop for a record that lies past the end of the file; `error` holds the walk's
// error. A caller raises either once the names before it are read.
struct TracePlan {
    std::int64_t traces = 0;
    MapOutcome outcome;
    std::optional<Error> error;
};
Result<TracePlan> planTraces(const ByteSource& source, const MapBlock& block, const MapGeometry& geometry);

// Names of trace records in reading order: the bytes of each, before its first NUL.
struct TraceNames {
    struct Name {
        std::size_t start = 0;  // in `text`
        std::size_t length = 0;
        std::int64_t recordCount = 1;  // trace records of this name
    };
    std::vector<std::uint8_t> text;
    std::vector<Name> names;

    std::span<const std::uint8_t> textOf(const Name& name) const {
        return std::span<const std::uint8_t>(text).subspan(name.start, name.length);
    }
};

// Info record of a trace record, when infoSize is 152 or more:
//
//   offset  size           field
//   0       152            not used
//   152     infoSize-152   name  text, up to its first NUL (all of it when there is none)
inline constexpr std::int64_t traceNameAt = 152;

// Reads the first `traces` trace records (as planTraces counted them): map k into `stack`, which
// holds NPY x NPX x `traces` values with map k at [:, :, k] (or nothing, to read names only), and
// the names into `names`. Maps and names of a few bytes are read many records to a system call.
Result<MapOutcome> readTraces(const ByteSource& source, const MapBlock& block, const MapGeometry& geometry,
                              std::int64_t traces, std::span<float> stack, TraceNames& names);

}  // namespace korvex
