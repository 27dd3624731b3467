// Primitive readers: fixed-width little-endian values, decoded with memcpy and bit_cast.
#include "format/readers.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace korvex {

namespace {

// Reads exactly N bytes at the cursor, or records the failure and returns false.
template <std::size_t N>
bool readExactly(Cursor& cursor, Reader reader, std::array<std::uint8_t, N>& bytes) {
    auto got = cursor.read(bytes.data(), N);
    if (!got.ok()) {
        if (!cursor.interrupted) {
            cursor.reports.push_back({reader, got.error().systemError});
        }
        return false;
    }
    if (got.value() != N) {
        cursor.reports.push_back({reader, 0});
        return false;
    }
    return true;
}

}  // namespace

Result<std::size_t> Cursor::readOutsideWindow(std::uint8_t* into, std::size_t count) {
    if (interrupted) {
        return Error{stoppedBy};
    }
    if (count >= windowCapacity) {
        auto got = source.readAt(position, into, count);
        if (got.ok()) {
            position += static_cast<std::int64_t>(got.value());
        }
        if (!got.ok()) {
            stopOn(got.error());
        }
        return got;
    }
    const auto holds = [&](const Window& window) {
        const std::int64_t intoWindow = position - window.start;
        return window.loaded && intoWindow >= 0 && static_cast<std::uint64_t>(intoWindow) <= window.bytes.size() &&
               (count <= window.bytes.size() - static_cast<std::size_t>(intoWindow) ||
                window.bytes.size() < windowCapacity);
    };
    const auto held = std::find_if(windows_.begin(), windows_.end(), holds);
    if (held != windows_.end()) {
        current_ = static_cast<std::size_t>(held - windows_.begin());
    } else {
        replaced_ = (replaced_ + 1) % windowCount;
        Window& window = windows_[replaced_];
        window.bytes.resize(windowCapacity);
        auto got = source.readAt(position, window.bytes.data(), windowCapacity);
        if (!got.ok()) {
            window.bytes.clear();
            window.loaded = false;
            stopOn(got.error());
            return got.error();
        }
        window.bytes.resize(got.value());
        window.start = position;
        window.loaded = true;
        current_ = replaced_;
    }
    const Window& window = windows_[current_];
    const auto start = static_cast<std::size_t>(position - window.start);
    const std::size_t served = std::min(count, window.bytes.size() - start);
    if (served != 0) {
        std::memcpy(into, window.bytes.data() + start, served);
    }
    position += static_cast<std::int64_t>(served);
    return served;
}

void Cursor::stopOn(const Error& error) {
    if (error.kind == ErrorKind::interrupted || error.kind == ErrorKind::notSeekable) {
        interrupted = true;
        stoppedBy = error.kind;
    }
}

std::int32_t readInt(Cursor& cursor) {
    std::array<std::uint8_t, 4> bytes;
    if (!readExactly(cursor, Reader::readInt, bytes)) {
        return 0;
    }
    return std::bit_cast<std::int32_t>(littleEndianAt<std::uint32_t>(bytes.data()));
}

std::int16_t readShort(Cursor& cursor) {
    std::array<std::uint8_t, 2> bytes;
    if (!readExactly(cursor, Reader::readShort, bytes)) {
        return 0;
    }
    return std::bit_cast<std::int16_t>(littleEndianAt<std::uint16_t>(bytes.data()));
}

double readDouble(Cursor& cursor) {
    std::array<std::uint8_t, 8> bytes;
    if (!readExactly(cursor, Reader::readDouble, bytes)) {
        return 0.0;
    }
    return std::bit_cast<double>(littleEndianAt<std::uint64_t>(bytes.data()));
}

}  // namespace korvex
