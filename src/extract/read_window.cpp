// ReadWindow: views of one larger read, refilled where a read falls outside it.
#include "extract/read_window.hpp"

#include <algorithm>

namespace korvex {

Result<std::span<const std::uint8_t>> ReadWindow::bytesAt(std::int64_t offset, std::size_t count) {
    const auto inWindow = [&](std::int64_t at) { return at >= start_ && at - start_ <= static_cast<std::int64_t>(held_); };
    if (inWindow(offset)) {
        const auto from = static_cast<std::size_t>(offset - start_);
        if (count <= held_ - from || endsSource_) {
            return std::span<const std::uint8_t>(bytes_.get() + from, std::min(count, held_ - from));
        }
    }
    if (offset >= source_.size()) {
        return std::span<const std::uint8_t>();
    }
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(capacity), source_.size() - offset));
    if (allocated_ < wanted) {
        // Never more than the source holds: a small file gets a small window.
        bytes_.reset(new std::uint8_t[wanted]);
        allocated_ = wanted;
    }
    auto got = source_.readAt(offset, bytes_.get(), wanted);
    if (!got.ok()) {
        held_ = 0;
        endsSource_ = false;
        return got.error();
    }
    start_ = offset;
    held_ = got.value();
    endsSource_ = held_ < wanted || offset + static_cast<std::int64_t>(held_) == source_.size();
    return std::span<const std::uint8_t>(bytes_.get(), std::min(count, held_));
}

}  // namespace korvex
