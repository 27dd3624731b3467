// The primitive little-endian readers readInt, readShort and readDouble over a Cursor.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "format/byte_source.hpp"

namespace korvex {

// Which reader failed; the module reports each failure as "korvex.<name>".
enum class Reader : std::uint8_t { readInt, readShort, readDouble };

// Bytes each reader decodes.
constexpr std::size_t widthOf(Reader reader) {
    return reader == Reader::readInt ? 4 : reader == Reader::readShort ? 2 : 8;
}

// One failed primitive read: too few bytes left (systemError 0), or an I/O error with its errno.
struct ReadReport {
    Reader reader;
    int systemError;
};

// A position in a ByteSource, as a file object has one, plus the reports of failed reads made
// through it, in the order they happened. Small reads are served from read-ahead windows, so that
// walking a run of small fields costs one read of the source, not one per field. A few windows are
// kept, as a request's parameter blocks often lie in two or three places that its reads alternate
// between.
class Cursor {
public:
    const ByteSource& source;
    std::int64_t position = 0;
    std::vector<ReadReport> reports{};
    // Whether a read was interrupted (ErrorKind::interrupted), or met a source that cannot be read
    // at an offset (ErrorKind::notSeekable). Such a read adds no report, and every read after it
    // fails at once with the same kind of error: what was read is then no answer.
    bool interrupted = false;
    ErrorKind stoppedBy = ErrorKind::interrupted;

    explicit Cursor(const ByteSource& from, std::int64_t at = 0) : source(from), position(at) {}

    // Reads up to `count` bytes at the position into `into` and advances past what was read: fewer
    // than `count` only where the source ends.
    Result<std::size_t> read(std::uint8_t* into, std::size_t count) {
        const Window& window = windows_[current_];
        const std::int64_t intoWindow = position - window.start;
        if (intoWindow >= 0 && count <= window.bytes.size() &&
            static_cast<std::uint64_t>(intoWindow) <= window.bytes.size() - count) {
            if (count != 0) {
                std::memcpy(into, window.bytes.data() + intoWindow, count);
            }
            position += static_cast<std::int64_t>(count);
            return count;
        }
        return readOutsideWindow(into, count);
    }

    // The bytes from the position to the end of the window the last read was served from, without
    // reading anything (empty when the position lies outside it). A reader that finds what it needs
    // there may decode it in place and then skip() past it: that is what read() would have done.
    std::span<const std::uint8_t> buffered() const {
        const Window& window = windows_[current_];
        const std::int64_t intoWindow = position - window.start;
        if (intoWindow < 0 || static_cast<std::uint64_t>(intoWindow) > window.bytes.size()) {
            return {};
        }
        return std::span<const std::uint8_t>(window.bytes).subspan(static_cast<std::size_t>(intoWindow));
    }

    // Advances past `count` bytes of buffered().
    void skip(std::size_t count) { position += static_cast<std::int64_t>(count); }

private:
    static constexpr std::size_t windowCapacity = 4096;
    static constexpr std::size_t windowCount = 4;

    // The source's bytes from `start` on: a window shorter than its capacity holds all the source
    // has from its start on.
    struct Window {
        std::vector<std::uint8_t> bytes;
        std::int64_t start = 0;
        bool loaded = false;
    };

    Result<std::size_t> readOutsideWindow(std::uint8_t* into, std::size_t count);
    // Sets `interrupted` and `stoppedBy` for an error that stops every read after it.
    void stopOn(const Error& error);

    std::array<Window, windowCount> windows_{};
    std::size_t current_ = 0;   // the window the last read was served from
    std::size_t replaced_ = 0;  // the window loaded last
};

// Runs `read` on a new cursor over `source` and hands the cursor's reports of failed reads back in
// `reports`, whatever `read` returns. A read that was interrupted makes the result that error.
template <typename Read>
auto readOnNewCursor(const ByteSource& source, std::vector<ReadReport>& reports, Read&& read) {
    Cursor cursor(source);
    auto result = read(cursor);
    reports = std::move(cursor.reports);
    if (cursor.interrupted) {
        return decltype(result)(Error{cursor.stoppedBy});
    }
    return result;
}

// The value of `sizeof(Unsigned)` little-endian bytes at `bytes`, which must hold that many.
template <typename Unsigned>
Unsigned littleEndianAt(const std::uint8_t* bytes) {
    Unsigned value = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&value, bytes, sizeof(Unsigned));
    } else {
        for (std::size_t i = sizeof(Unsigned); i-- > 0;) {
            value = static_cast<Unsigned>((value << 8) | bytes[i]);
        }
    }
    return value;
}

// Each reader decodes one value at the cursor and advances it by the bytes actually read. A value
// that cannot be read in full yields 0 and adds one report; the position then rests at the end.
//
//   readInt     4 bytes  little-endian two's complement
//   readShort   2 bytes  little-endian two's complement
//   readDouble  8 bytes  little-endian IEEE 754 binary64
std::int32_t readInt(Cursor& cursor);
std::int16_t readShort(Cursor& cursor);
double readDouble(Cursor& cursor);

}  // namespace korvex
