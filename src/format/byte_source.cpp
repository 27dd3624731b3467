// ByteSource over a SystemFile or a caller's buffer (memcpy): the bounds, the loops over short
// reads and the scattered read's bookkeeping, the same on every system.
#include "format/byte_source.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "format/interruption.hpp"

namespace korvex {

namespace {

// The most bytes one step of a read moves, a system call or a copy: a long read is checked for
// interruption between its steps.
constexpr std::size_t stepBytes = std::min(SystemFile::mostBytes, interruptionIntervalBytes);

}  // namespace

Result<ByteSource> ByteSource::overFile(Result<SystemFile> file) {
    if (!file.ok()) {
        return file.error();
    }
    ByteSource source;
    source.size_ = file.value().size();
    source.file_ = std::move(file).value();
    return source;
}

Result<ByteSource> ByteSource::open(const std::string& path) {
    return overFile(SystemFile::open(path));
}

Result<ByteSource> ByteSource::borrow(std::intptr_t native) {
    return overFile(SystemFile::borrow(native));
}

ByteSource ByteSource::fromMemory(std::span<const std::uint8_t> bytes) {
    ByteSource source;
    source.memory_ = bytes.data();
    source.size_ = static_cast<std::int64_t>(bytes.size());
    return source;
}

ByteSource::ByteSource(ByteSource&& other) noexcept = default;
ByteSource& ByteSource::operator=(ByteSource&& other) noexcept = default;
ByteSource::~ByteSource() = default;

Result<std::size_t> ByteSource::readAt(std::int64_t offset, std::uint8_t* into, std::size_t count) const {
    if (!seekable()) {
        return Error::notSeekableFile();
    }
    // Nothing to read leaves `into` alone: an empty buffer may have no address at all.
    if (offset < 0 || offset >= size_ || count == 0) {
        return std::size_t{0};
    }
    // Written so that it cannot overflow: compare with what is left, never add to the offset.
    const auto available = static_cast<std::uint64_t>(size_ - offset);
    if (count > available) {
        count = static_cast<std::size_t>(available);
    }
    std::size_t done = 0;
    while (done < count) {
        const std::size_t step = std::min(count - done, stepBytes);
        if (InterruptionScope::stopBefore(step)) {
            return Error::interruption();
        }
        if (memory_ != nullptr) {
            std::memcpy(into + done, memory_ + offset + done, step);
            done += step;
            continue;
        }
        auto got = file_.readAt(offset + static_cast<std::int64_t>(done), into + done, step);
        if (!got.ok()) {
            return got.error();
        }
        if (got.value() == 0) {
            break;  // the file shrank since it was opened
        }
        done += got.value();
    }
    return done;
}

Result<std::size_t> ByteSource::readParts(std::int64_t offset, std::span<const ReadPart> parts) const {
    if (!seekable()) {
        return Error::notSeekableFile();
    }
    if (offset < 0 || offset >= size_) {
        return std::size_t{0};
    }
    const auto available = static_cast<std::uint64_t>(size_ - offset);
    std::array<std::uint8_t, 4096> dropped;
    std::array<ReadSpan, 1024> spans;
    const std::size_t spanLimit = std::min(spans.size(), SystemFile::mostSpans);
    std::size_t done = 0;
    std::size_t part = 0;     // the first part not read in full
    std::size_t partDone = 0; // bytes of it already read
    for (;;) {
        // Parts that are read already, or hold nothing, are passed over.
        while (part < parts.size() && partDone == parts[part].count) {
            ++part;
            partDone = 0;
        }
        if (part == parts.size() || done == available) {
            return done;
        }
        // One system call's worth: no more spans, and no more bytes, than one call takes.
        const std::uint64_t callLimit = std::min<std::uint64_t>(available - done, stepBytes);
        std::size_t spanCount = 0;
        std::uint64_t wanted = 0;
        for (std::size_t i = part; i < parts.size() && spanCount < spanLimit && wanted < callLimit; ++i) {
            const std::size_t skip = i == part ? partDone : 0;
            const auto count =
                static_cast<std::size_t>(std::min<std::uint64_t>(parts[i].count - skip, callLimit - wanted));
            // Dropped bytes all land in one small buffer, a buffer's length at a time.
            const bool drop = parts[i].into == nullptr;
            const std::size_t length = drop ? std::min(count, dropped.size()) : count;
            spans[spanCount++] = {drop ? dropped.data() : parts[i].into + skip, length};
            wanted += length;
            if (length != parts[i].count - skip) {
                break;
            }
        }
        if (InterruptionScope::stopBefore(static_cast<std::size_t>(wanted))) {
            return Error::interruption();
        }
        std::size_t got = 0;
        if (memory_ != nullptr) {
            for (std::size_t i = 0; i < spanCount; ++i) {
                std::memcpy(spans[i].into, memory_ + offset + done + got, spans[i].count);
                got += spans[i].count;
            }
        } else {
            auto read = file_.readSpans(offset + static_cast<std::int64_t>(done),
                                        std::span<const ReadSpan>(spans.data(), spanCount));
            if (!read.ok()) {
                return read.error();
            }
            if (read.value() == 0) {
                return done;  // the file shrank since it was opened
            }
            got = read.value();
        }
        done += got;
        while (got > 0) {
            const std::size_t rest = parts[part].count - partDone;
            const std::size_t taken = std::min(rest, got);
            partDone += taken;
            got -= taken;
            if (partDone == parts[part].count) {
                ++part;
                partDone = 0;
            }
        }
    }
}

Result<std::size_t> ByteSource::readHead(std::uint8_t* into, std::size_t count) const {
    if (memory_ != nullptr || !file_.isOpen()) {
        return readAt(0, into, count);
    }
    // Read as a stream, past the size taken at opening: a pipe has none.
    std::size_t done = 0;
    while (done < count) {
        const std::size_t step = std::min(count - done, stepBytes);
        if (InterruptionScope::stopBefore(step)) {
            return Error::interruption();
        }
        auto got = file_.readFromStart(done, into + done, step);
        if (!got.ok()) {
            return got.error();
        }
        if (got.value() == 0) {
            break;
        }
        done += got.value();
    }
    return done;
}

}  // namespace korvex
