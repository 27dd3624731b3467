// Map data blocks: header and store table, the record walk, the cube fill and the trace stack.
#include "extract/maps.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "extract/read_window.hpp"
#include "extract/transpose.hpp"
#include "extract/values.hpp"
#include "format/checked.hpp"
#include "format/interruption.hpp"

namespace korvex {

namespace {

constexpr std::int64_t valueSize = 4;
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();

// NPX x NPY, or the largest int64 when the product overflows (no record can hold that many).
std::int64_t mapSizeOf(const MapGeometry& geometry) {
    std::int64_t size = 0;
    return checkedMul(geometry.npx, geometry.npy, size) ? size : int64Max;
}

bool stopsWalk(const Result<MapOutcome>& step) {
    return !step.ok() || step.value().stop != MapStop::none;
}

// `outcome`, unless reading what came before it (`flushed`) ended the walk first.
Result<MapOutcome> firstStop(Result<MapOutcome> flushed, Result<MapOutcome> outcome) {
    return stopsWalk(flushed) ? flushed : outcome;
}

// Hands `each` records [first, end) of a run, each as the view of its first `bytes` bytes (fewer
// where the source ends), read through the window many records a read. `each(k, view)` returns
// an outcome to stop at, or none to go on.
template <typename Each>
Result<MapOutcome> forRecordsInWindow(ReadWindow& window, const StoredRecord& record, std::int64_t first,
                                      std::int64_t end, std::int64_t bytes, Each each) {
    // Records one read takes whole: all that fit the window, or one at a time for a stride of 0.
    const std::int64_t perRead =
        record.stride <= 0 ? 1 : (static_cast<std::int64_t>(ReadWindow::capacity) - bytes) / record.stride + 1;
    for (std::int64_t k = first; k < end;) {
        const std::int64_t taken = std::min(end - k, perRead);
        auto got = window.bytesAt(record.valuesOf(k), static_cast<std::size_t>((taken - 1) * record.stride + bytes));
        if (!got.ok()) {
            return got.error();
        }
        const std::span<const std::uint8_t> view = got.value();
        for (std::int64_t j = 0; j < taken; ++j) {
            const auto at = static_cast<std::size_t>(std::min<std::int64_t>(j * record.stride, static_cast<std::int64_t>(view.size())));
            const std::span<const std::uint8_t> one = view.subspan(at, std::min(view.size() - at, static_cast<std::size_t>(bytes)));
            if (std::optional<MapOutcome> stop = each(k + j, one)) {
                return *stop;
            }
        }
        k += taken;
    }
    return MapOutcome{};
}

// The little-endian int32 at `bytes`.
std::int32_t int32At(const std::uint8_t* bytes) {
    return std::bit_cast<std::int32_t>(static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                                       static_cast<std::uint32_t>(bytes[2]) << 16 |
                                       static_cast<std::uint32_t>(bytes[3]) << 24);
}

}  // namespace

std::int64_t StoreTableEntry::records() const {
    if (skips()) {
        return 0;
    }
    return std::max<std::int64_t>(std::int64_t{second} - first + 1, 0);
}

Result<MapBlock> readMapBlock(Cursor& cursor, std::int64_t offsetToData) {
    if (offsetToData < 0) {
        return Error::fromSystem(EINVAL);
    }
    cursor.position = offsetToData;
    MapBlock block;
    MapBlockHeader& header = block.header;
    header.version = readInt(cursor);
    header.storedBlocks = readInt(cursor);
    header.blockOffset = readInt(cursor);
    header.blockSize = readInt(cursor);
    header.infoSize = readInt(cursor);
    header.numberEntries = readInt(cursor);
    block.recordArea = offsetToData + header.blockOffset;
    if (header.numberEntries <= 0) {
        return block;
    }
    // A damaged count must not cost more than the file holds: the table has to lie in the file.
    const std::int64_t tableLeft = std::max<std::int64_t>(cursor.source.size() - offsetToData - mapHeaderSize, 0);
    if (header.numberEntries > tableLeft / storeTableEntrySize) {
        return Error::storeTablePastEndAt(offsetToData);
    }
    block.storeTable.reserve(static_cast<std::size_t>(header.numberEntries));
    // The table is in the file, so one read takes it whole; only where that comes back short (the
    // file shrank) or fails is it read field by field, each field cut off reported.
    std::vector<std::uint8_t> table(static_cast<std::size_t>(header.numberEntries) * storeTableEntrySize);
    auto got = cursor.source.readAt(cursor.position, table.data(), table.size());
    if (got.ok() && got.value() == table.size()) {
        for (std::size_t at = 0; at < table.size(); at += storeTableEntrySize) {
            block.storeTable.push_back({int32At(table.data() + at), int32At(table.data() + at + 4)});
        }
        cursor.position += static_cast<std::int64_t>(table.size());
        return block;
    }
    for (std::int32_t i = 0; i < header.numberEntries; ++i) {
        StoreTableEntry entry;
        entry.first = readInt(cursor);
        entry.second = readInt(cursor);
        block.storeTable.push_back(entry);
    }
    return block;
}

Result<RecordWalk> RecordWalk::start(const ByteSource& source, const MapBlock& block, std::int64_t npt) {
    if (block.recordArea < 0) {
        return Error::fromSystem(EINVAL);
    }
    return RecordWalk(source, block, npt);
}

std::int64_t RecordWalk::bytesLeft() const {
    return std::max<std::int64_t>(source_.size() - position_, 0);
}

std::int64_t RecordWalk::advanced(std::int64_t length) const {
    if (length < 0) {
        return std::max(position_, source_.size());
    }
    return position_ + std::min(length, bytesLeft());
}

Result<std::optional<StoredRecord>> RecordWalk::next() {
    if (InterruptionScope::stopAtStep()) {
        return Error::interruption();
    }
    while (runLeft_ == 0) {
        if (entry_ == block_.storeTable.size()) {
            return std::optional<StoredRecord>();
        }
        if (InterruptionScope::stopAtStep()) {
            return Error::interruption();
        }
        const StoreTableEntry& entry = block_.storeTable[entry_++];
        if (!entry.skips()) {
            runLeft_ = entry.records();
        } else if (entry.second < -1) {
            return Error::readLengthOf(entry.second);
        } else {
            position_ = advanced(entry.second);
        }
    }
    const std::int64_t start = position_;
    StoredRecord record;
    record.valuesAt = position_;
    const std::int64_t left = bytesLeft();
    const std::int32_t infoSize = block_.header.infoSize;
    if (infoSize >= 0 && npt_ <= left / valueSize && infoSize <= left - npt_ * valueSize) {
        const std::int64_t stride = npt_ * valueSize + infoSize;
        if (stride > 0) {
            // Whole records: as many of the run as the file holds, in one step.
            record.values = npt_;
            record.infoAt = position_ + npt_ * valueSize;
            record.infoLength = infoSize;
            record.recordCount = std::min(runLeft_, left / stride);
            record.stride = stride;
            position_ += record.recordCount * stride;
            runLeft_ -= record.recordCount;
            return std::optional<StoredRecord>(record);
        }
    }
    if (npt_ <= left / valueSize) {
        record.values = npt_;
        position_ += npt_ * valueSize;
    } else {
        // The values run into the end of the file: the whole ones are read, and the rest of the
        // file with them.
        record.values = left / valueSize;
        position_ = advanced(-1);
    }
    record.infoAt = position_;
    if (infoSize < -1) {
        record.infoRefused = true;
    } else {
        const std::int64_t after = advanced(infoSize);
        record.infoLength = after - position_;
        position_ = after;
    }
    if (position_ == start && !record.infoRefused) {
        // Nothing was read, so nothing will be for the rest of the run either.
        record.recordCount = runLeft_;
        runLeft_ = 0;
    } else {
        --runLeft_;
    }
    return std::optional<StoredRecord>(record);
}

Result<MapOutcome> fillCube(const ByteSource& source, const MapBlock& block, const MapGeometry& geometry,
                            std::span<float> cube) {
    auto started = RecordWalk::start(source, block, geometry.npt);
    if (!started.ok()) {
        return started.error();
    }
    RecordWalk& walk = started.value();
    const std::int64_t npt = geometry.npt;
    const std::int64_t grid = mapSizeOf(geometry);

    // Records that lie back to back in the file, with their info records between them, are read
    // together: one scattered read puts each record's values in place and drops the info records.
    // Records with no info record lie in the file as in the cube, so a run of them is one part.
    constexpr std::size_t mostParts = 1024;
    constexpr std::int64_t droppedInBatch = 65536;  // a longer info record ends the batch
    const std::int64_t valuesBytes = npt * valueSize;
    // Records of one walk record in the batch: record j's values start at at + j * stride, from fileAt.
    struct Run {
        std::int64_t first = 0;
        std::int64_t count = 0;
        std::int64_t at = 0;
        std::int64_t stride = 0;
    };
    struct Batch {
        std::int64_t fileAt = 0;   // the first record's values
        std::int64_t fileEnd = 0;  // the end of the last record's info record
        std::int64_t first = 0;    // the first record's index
        std::int64_t records = 0;
        bool open = false;         // whether the next record may join
        std::vector<ReadPart> parts;
        std::vector<Run> runs;
    } batch;
    // The first record of the batch whose values `read` bytes do not hold, if any.
    auto firstCut = [&](std::int64_t read) -> std::optional<std::int64_t> {
        for (const Run& run : batch.runs) {
            const std::int64_t end = run.at + valuesBytes;
            if (end > read) {
                return run.first;
            }
            if (run.count > 1 && (read - end) / run.stride + 1 < run.count) {
                return run.first + (read - end) / run.stride + 1;
            }
        }
        return std::nullopt;
    };
    auto flush = [&]() -> Result<MapOutcome> {
        if (batch.records == 0) {
            return MapOutcome{};
        }
        auto got = source.readParts(batch.fileAt, batch.parts);
        fromLittleEndian(cube.subspan(static_cast<std::size_t>(batch.first * npt),
                                      static_cast<std::size_t>(batch.records * npt)));
        std::optional<std::int64_t> cut;
        if (got.ok()) {
            cut = firstCut(static_cast<std::int64_t>(got.value()));
        }
        batch.records = 0;
        batch.open = false;
        batch.parts.clear();
        batch.runs.clear();
        if (!got.ok()) {
            return got.error();
        }
        if (cut) {
            return MapOutcome{MapStop::shortRecord, *cut, 0};  // the file shrank
        }
        return MapOutcome{};
    };
    auto finish = [&](Result<MapOutcome> outcome) { return firstStop(flush(), std::move(outcome)); };
    // Small records with info records between them would take a part each: read through a window
    // instead, many records a read, and their values copied out.
    constexpr std::int64_t copiedValues = 1024;  // bytes of values a record may have to be copied
    ReadWindow window(source);
    auto copy = [&](const StoredRecord& record, std::int64_t index, std::int64_t count) -> Result<MapOutcome> {
        if (auto flushed = flush(); stopsWalk(flushed)) {
            return flushed;
        }
        return forRecordsInWindow(window, record, 0, count, valuesBytes,
                                  [&](std::int64_t k, std::span<const std::uint8_t> bytes) -> std::optional<MapOutcome> {
                                      if (static_cast<std::int64_t>(bytes.size()) < valuesBytes) {
                                          return MapOutcome{MapStop::shortRecord, index + k, 0};  // the file shrank
                                      }
                                      const std::span<float> values = cube.subspan(
                                          static_cast<std::size_t>((index + k) * npt), static_cast<std::size_t>(npt));
                                      std::memcpy(values.data(), bytes.data(), bytes.size());
                                      fromLittleEndian(values);
                                      return std::nullopt;
                                  });
    };
    // Adds the first `count` records of a walk record, whose values are all in the file, to the
    // batch, record k of it at cube index `index` + k.
    auto place = [&](const StoredRecord& record, std::int64_t index, std::int64_t count) -> Result<MapOutcome> {
        const bool dropsInfo = record.infoLength <= droppedInBatch;
        for (std::int64_t k = 0; k < count;) {
            const std::int64_t valuesAt = record.valuesOf(k);
            if (!(batch.open && valuesAt == batch.fileEnd && batch.parts.size() < mostParts)) {
                if (auto flushed = flush(); stopsWalk(flushed)) {
                    return flushed;
                }
                batch.fileAt = valuesAt;
                batch.first = index + k;
            }
            auto* into = reinterpret_cast<std::uint8_t*>(cube.data() + (index + k) * npt);
            std::int64_t taken = 0;
            if (record.infoLength == 0) {
                taken = count - k;
                const auto bytes = static_cast<std::size_t>(taken * valuesBytes);
                if (!batch.parts.empty() && batch.parts.back().into != nullptr &&
                    batch.parts.back().into + batch.parts.back().count == into) {
                    batch.parts.back().count += bytes;
                } else {
                    batch.parts.push_back({into, bytes});
                }
            } else {
                taken = std::min<std::int64_t>(
                    count - k, std::max<std::int64_t>(static_cast<std::int64_t>(mostParts - batch.parts.size()) / 2, 1));
                for (std::int64_t j = 0; j < taken; ++j) {
                    batch.parts.push_back({into + j * valuesBytes, static_cast<std::size_t>(valuesBytes)});
                    if (dropsInfo) {
                        batch.parts.push_back({nullptr, static_cast<std::size_t>(record.infoLength)});
                    }
                }
            }
            batch.runs.push_back({index + k, taken, valuesAt - batch.fileAt, record.stride});
            batch.records += taken;
            batch.open = dropsInfo;
            batch.fileEnd = record.infoOf(k + taken - 1) + record.infoLength;
            k += taken;
        }
        return MapOutcome{};
    };

    std::int64_t index = 0;
    for (;;) {
        auto next = walk.next();
        if (!next.ok()) {
            return finish(next.error());
        }
        if (!next.value()) {
            return finish(MapOutcome{});
        }
        const StoredRecord& record = *next.value();
        if (geometry.npx == 0) {
            return finish(MapOutcome{MapStop::zeroColumns, index, 0});
        }
        if (index >= grid) {
            return finish(MapOutcome{MapStop::beyondGrid, index, 0});
        }
        if (record.values < npt) {
            return finish(MapOutcome{MapStop::shortRecord, index, 0});
        }
        // Records of a run go in until one lands beyond the grid.
        const std::int64_t inGrid = std::min(record.recordCount, grid - index);
        if (npt > 0) {
            const bool copied = record.infoLength > 0 && record.stride > 0 && record.stride <= droppedInBatch &&
                                valuesBytes <= copiedValues && inGrid > 1;
            if (auto placed = copied ? copy(record, index, inGrid) : place(record, index, inGrid); stopsWalk(placed)) {
                return placed;
            }
        }
        if (record.recordCount > inGrid) {
            return finish(MapOutcome{MapStop::beyondGrid, grid, 0});
        }
        if (record.infoRefused) {
            return finish(Error::readLengthOf(block.header.infoSize));
        }
        index += record.recordCount;
    }
}

Result<TracePlan> planTraces(const ByteSource& source, const MapBlock& block, const MapGeometry& geometry) {
    auto started = RecordWalk::start(source, block, geometry.npt);
    if (!started.ok()) {
        return started.error();
    }
    RecordWalk& walk = started.value();
    const std::int64_t mapSize = mapSizeOf(geometry);
    TracePlan plan;
    for (;;) {
        auto next = walk.next();
        if (!next.ok()) {
            plan.error = next.error();
            return plan;
        }
        if (!next.value()) {
            return plan;
        }
        const StoredRecord& record = *next.value();
        if (record.values != mapSize) {
            plan.outcome = {MapStop::wrongCount, plan.traces, record.values};
            return plan;
        }
        if (record.valuesAt >= source.size()) {
            // Maps of no values (NPX or NPY 0) fit any record, even one past the end of the file:
            // those are not in the file, and a damaged run could claim billions of them.
            plan.outcome = {MapStop::shortRecord, plan.traces, 0};
            return plan;
        }
        if (record.infoRefused) {
            plan.error = Error::readLengthOf(block.header.infoSize);
            return plan;
        }
        if (!checkedAdd(plan.traces, record.recordCount, plan.traces)) {
            plan.error = Error::noMemory();  // more traces than any array can index
            return plan;
        }
    }
}

namespace {

// Reads into.size() values at `offset` from the window (at most its capacity in bytes); returns
// how many were read, fewer only where the source ends.
Result<std::size_t> valuesFromWindow(ReadWindow& window, std::int64_t offset, std::span<float> into) {
    auto got = window.bytesAt(offset, into.size_bytes());
    if (!got.ok()) {
        return got.error();
    }
    const std::size_t values = got.value().size() / valueSize;
    if (values > 0) {
        std::memcpy(into.data(), got.value().data(), values * valueSize);
    }
    fromLittleEndian(into.first(values));
    return values;
}

// Appends the name of the info record at `infoAt`, `infoLength` bytes long: its bytes from
// traceNameAt on, up to the first NUL, as `read(at, count)` gives them a few kilobytes at a time
// (fewer bytes only where the file ends). An error only where the source fails.
template <typename Read>
std::optional<Error> appendTraceName(std::int64_t infoAt, std::int64_t infoLength, std::int64_t recordCount,
                                     TraceNames& names, Read read) {
    TraceNames::Name name{names.text.size(), 0, recordCount};
    std::int64_t at = infoAt + traceNameAt;
    const std::int64_t end = infoAt + infoLength;
    constexpr std::int64_t chunk = 4096;
    while (at < end) {
        const auto count = static_cast<std::size_t>(std::min(chunk, end - at));
        Result<std::span<const std::uint8_t>> got = read(at, count);
        if (!got.ok()) {
            return got.error();
        }
        const std::span<const std::uint8_t> bytes = got.value();
        const void* nul = bytes.empty() ? nullptr : std::memchr(bytes.data(), 0, bytes.size());
        const std::size_t length =
            nul == nullptr ? bytes.size() : static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - bytes.data());
        names.text.insert(names.text.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        if (nul != nullptr || bytes.size() != count) {
            break;  // the name ends, or the file shrank while it was read
        }
        at += static_cast<std::int64_t>(count);
    }
    name.length = names.text.size() - name.start;
    names.names.push_back(name);
    return std::nullopt;
}

// The name read through `window`, which serves the names of records near one another from one read.
std::optional<Error> readTraceName(ReadWindow& window, std::int64_t infoAt, std::int64_t infoLength,
                                   std::int64_t recordCount, TraceNames& names) {
    return appendTraceName(infoAt, infoLength, recordCount, names,
                           [&](std::int64_t at, std::size_t count) { return window.bytesAt(at, count); });
}

// The name read on its own: for records far apart, where a window would read much more than it.
std::optional<Error> readTraceNameAlone(const ByteSource& source, std::int64_t infoAt, std::int64_t infoLength,
                                        TraceNames& names) {
    std::array<std::uint8_t, 4096> bytes;
    return appendTraceName(infoAt, infoLength, 1, names,
                           [&](std::int64_t at, std::size_t count) -> Result<std::span<const std::uint8_t>> {
                               auto got = source.readAt(at, bytes.data(), count);
                               if (!got.ok()) {
                                   return got.error();
                               }
                               return std::span<const std::uint8_t>(bytes.data(), got.value());
                           });
}

// A band of consecutive traces, read a chunk of pixels at a time: one read of each map's chunk into
// a slot of its own, then the slots turned straight into the stack, where one pixel's values of
// the band lie side by side. So the stack is written in order, pixel after pixel, each pixel's
// values of the band (up to 32, 128 bytes) in one go.
//
// The slots are all the memory the band needs beside the stack: 32 x 2064 values (258 KiB), a
// sixteenth of the stack of 64 maps of 128 x 128 (so that a call's peak stays within a tenth of
// its result), small enough to stay in the processor's second-level cache between the read and the
// transpose. Chunks of 8 KiB keep the system calls few: on 64 maps of 128 x 128, reads of 4 KiB
// (bands of 64) cost more than the longer rows of the stack they write save. Fewer traces make
// longer chunks. Small maps come out of a window instead, many records a read.
class TraceBand {
public:
    static constexpr std::int64_t mostTraces = 32;

    TraceBand(const ByteSource& source, ReadWindow& mapWindow, ReadWindow& nameWindow, std::int64_t mapSize,
              std::int64_t traces, std::span<float> stack, bool named)
        : source_(source), mapWindow_(mapWindow), nameWindow_(nameWindow), mapSize_(mapSize), traces_(traces),
          stack_(stack), named_(named) {}

    bool full() const { return size_ == mostTraces; }

    // Adds trace `trace`, the one after the last added: its map at `valuesAt`, its info record of
    // `infoLength` bytes at `infoAt`.
    void add(std::int64_t trace, std::int64_t valuesAt, std::int64_t infoAt, std::int64_t infoLength) {
        if (size_ == 0) {
            first_ = trace;
        }
        members_[static_cast<std::size_t>(size_)] = {valuesAt, infoAt, infoLength, 0};
        ++size_;
    }

    // Reads the maps added since the last flush, then their names into `names`. A map cut short
    // (the file shrank while it was read) stops with wrongCount at the first such trace, with the
    // count of its values read.
    Result<MapOutcome> flush(TraceNames& names) {
        const std::int64_t members = size_;
        size_ = 0;
        if (members == 0) {
            return MapOutcome{};
        }
        if (slots_ == nullptr) {
            slots_.reset(new float[static_cast<std::size_t>(slotsValues)]);  // only once maps are read
        }
        // Slots a line longer than their chunk, so that the values of one pixel in the slots do not
        // all fall into one set of the first-level cache.
        const std::int64_t slotValues = slotsValues / members / lineValues * lineValues;
        const std::int64_t chunkValues = slotValues - lineValues;
        const bool windowed = mapSize_ <= std::min(chunkValues, windowedMap);
        for (std::int64_t done = 0; done < mapSize_; done += chunkValues) {
            const std::int64_t count = std::min(chunkValues, mapSize_ - done);
            for (std::int64_t g = 0; g < members; ++g) {
                Member& member = members_[static_cast<std::size_t>(g)];
                if (member.read != done) {
                    continue;  // already cut short
                }
                const std::span<float> into(slots_.get() + g * slotValues, static_cast<std::size_t>(count));
                auto got = windowed ? valuesFromWindow(mapWindow_, member.valuesAt, into)
                                    : readValues(source_, member.valuesAt + done * valueSize, into);
                if (!got.ok()) {
                    return got.error();
                }
                // A map cut short ends the call with wrongCount; until then its slot holds zeros
                // where the file ended.
                std::fill(into.begin() + static_cast<std::ptrdiff_t>(got.value()), into.end(), 0.0f);
                member.read += static_cast<std::int64_t>(got.value());
            }
            transposeMaps(slots_.get(), static_cast<std::size_t>(slotValues),
                          stack_.data() + static_cast<std::size_t>(done * traces_ + first_), static_cast<std::size_t>(traces_),
                          members, count);
        }
        for (std::int64_t g = 0; g < members; ++g) {
            const Member& member = members_[static_cast<std::size_t>(g)];
            if (member.read != mapSize_) {
                return MapOutcome{MapStop::wrongCount, first_ + g, member.read};
            }
        }
        if (named_) {
            for (std::int64_t g = 0; g < members; ++g) {
                const Member& member = members_[static_cast<std::size_t>(g)];
                auto failed = windowed ? readTraceName(nameWindow_, member.infoAt, member.infoLength, 1, names)
                                       : readTraceNameAlone(source_, member.infoAt, member.infoLength, names);
                if (failed) {
                    return *failed;
                }
            }
        }
        return MapOutcome{};
    }

private:
    static constexpr std::int64_t lineValues = 16;  // values of a 64-byte line
    static constexpr std::int64_t slotsValues = mostTraces * (2048 + lineValues);
    // Maps of up to 8 KiB come out of the window, many records a read; longer ones are read
    // straight into their slots, so that the window never holds more than a few of them.
    static constexpr std::int64_t windowedMap = 2048;

    struct Member {
        std::int64_t valuesAt = 0;
        std::int64_t infoAt = 0;
        std::int64_t infoLength = 0;
        std::int64_t read = 0;  // values read so far
    };

    const ByteSource& source_;
    ReadWindow& mapWindow_;
    ReadWindow& nameWindow_;
    std::int64_t mapSize_;
    std::int64_t traces_;
    std::span<float> stack_;
    bool named_;
    std::unique_ptr<float[]> slots_;
    std::array<Member, mostTraces> members_{};
    std::int64_t size_ = 0;  // members added since the last flush
    std::int64_t first_ = 0;
};

// The most values a map may hold for the maps to be read from a window straight into their
// pixels, rather than in groups.
constexpr std::int64_t smallMap = 8;

// Reads the maps (at most smallMap values each) of records [first, end) of `record` into their
// pixels of the stack, record k holding the map of trace `trace` + k. A map cut short (the file
// shrank) stops with wrongCount and the values read.
Result<MapOutcome> readSmallMaps(ReadWindow& window, const StoredRecord& record, std::int64_t first, std::int64_t end,
                                 std::int64_t mapSize, std::int64_t trace, std::int64_t traces, std::span<float> stack) {
    return forRecordsInWindow(window, record, first, end, mapSize * valueSize,
                              [&](std::int64_t k, std::span<const std::uint8_t> bytes) -> std::optional<MapOutcome> {
                                  const auto whole = static_cast<std::int64_t>(bytes.size()) / valueSize;
                                  for (std::int64_t pixel = 0; pixel < whole; ++pixel) {
                                      float& value = stack[static_cast<std::size_t>(pixel * traces + trace + k)];
                                      std::memcpy(&value, bytes.data() + pixel * valueSize, valueSize);
                                      fromLittleEndian(std::span<float>(&value, 1));
                                  }
                                  if (whole != mapSize) {
                                      return MapOutcome{MapStop::wrongCount, trace + k, whole};
                                  }
                                  return std::nullopt;
                              });
}

}  // namespace

Result<MapOutcome> readTraces(const ByteSource& source, const MapBlock& block, const MapGeometry& geometry,
                              std::int64_t traces, std::span<float> stack, TraceNames& names) {
    auto started = RecordWalk::start(source, block, geometry.npt);
    if (!started.ok()) {
        return started.error();
    }
    RecordWalk& walk = started.value();
    const std::int64_t mapSize = mapSizeOf(geometry);
    const bool named = block.header.infoSize >= traceNameAt;
    const bool mapped = !stack.empty() && mapSize > 0;
    // Maps and names each have a window of their own: small maps and names come many a read.
    ReadWindow mapWindow(source);
    ReadWindow nameWindow(source);
    TraceBand band(source, mapWindow, nameWindow, mapSize, traces, stack, named);
    auto finish = [&](Result<MapOutcome> outcome) { return firstStop(band.flush(names), std::move(outcome)); };
    std::int64_t done = 0;
    while (done < traces) {
        auto next = walk.next();
        if (!next.ok()) {
            return finish(next.error());
        }
        if (!next.value()) {
            break;
        }
        const StoredRecord& record = *next.value();
        const std::int64_t count = std::min(record.recordCount, traces - done);
        if (mapped && mapSize == 1 && record.stride == valueSize) {
            // One value a map, back to back: the run's values are the stack's, in order.
            auto got = readValues(source, record.valuesAt, stack.subspan(static_cast<std::size_t>(done),
                                                                         static_cast<std::size_t>(count)));
            if (!got.ok()) {
                return got.error();
            }
            if (static_cast<std::int64_t>(got.value()) != count) {
                return MapOutcome{MapStop::wrongCount, done + static_cast<std::int64_t>(got.value()), 0};
            }
            done += count;
            continue;
        }
        // Records that read nothing (stride 0) have one name for them all; maps, only one record.
        const std::int64_t reads = record.stride == 0 ? 1 : (mapped || named ? count : 0);
        if (mapped && mapSize <= smallMap && !named) {
            if (auto read = readSmallMaps(mapWindow, record, 0, reads, mapSize, done, traces, stack); stopsWalk(read)) {
                return read;
            }
            done += count;
            continue;
        }
        for (std::int64_t k = 0; k < reads; ++k) {
            if (mapped && mapSize <= smallMap) {
                if (auto read = readSmallMaps(mapWindow, record, k, k + 1, mapSize, done, traces, stack);
                    stopsWalk(read)) {
                    return read;
                }
            } else if (mapped) {
                // The band reads the name after the map.
                band.add(done + k, record.valuesOf(k), record.infoOf(k), record.infoLength);
                if (band.full()) {
                    if (auto flushed = band.flush(names); stopsWalk(flushed)) {
                        return flushed;
                    }
                }
                continue;
            }
            if (named) {
                if (auto failed = readTraceName(nameWindow, record.infoOf(k), record.infoLength,
                                                record.stride == 0 ? count : 1, names)) {
                    return finish(*failed);
                }
            }
        }
        done += count;
    }
    return finish(MapOutcome{});
}

}  // namespace korvex
