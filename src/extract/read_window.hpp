// ReadWindow: small reads near one another, served from one larger read of the byte source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "format/byte_source.hpp"
#include "format/result.hpp"

namespace korvex {

// Records of a few bytes each, read one system call apiece, would cost far more than their bytes:
// the window reads up to `capacity` bytes at once and hands out views of them. A read that the
// window holds costs a copy; one it does not hold refills it from there. Where a refill came back
// short (the source ends, or the file shrank since it was opened), the window holds all there is
// up to its end, and later reads in that stretch get what it holds, without asking the source
// again.
class ReadWindow {
public:
    static constexpr std::size_t capacity = std::size_t{1} << 20;

    explicit ReadWindow(const ByteSource& source) : source_(source) {}

    // Up to `count` bytes (at most `capacity`) at `offset` (at least 0): fewer only where the
    // source ends. The view holds until the next call.
    Result<std::span<const std::uint8_t>> bytesAt(std::int64_t offset, std::size_t count);

private:
    const ByteSource& source_;
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t allocated_ = 0;
    std::int64_t start_ = 0;
    std::size_t held_ = 0;
    bool endsSource_ = false;  // the last refill came back short: nothing lies past what is held
};

}  // namespace korvex
