// ByteSource over a file descriptor (pread) or a caller's buffer (memcpy).
#include "format/byte_source.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace korvex {

Result<ByteSource> ByteSource::open(const std::string& path) {
    int descriptor;
    do {
        descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return Error::fromSystem(errno);
    }
    ByteSource source;
    source.descriptor_ = descriptor;
    struct stat status;
    if (::fstat(descriptor, &status) != 0) {
        return Error::fromSystem(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return Error::fromSystem(EISDIR);
    }
    source.size_ = S_ISREG(status.st_mode) ? static_cast<std::int64_t>(status.st_size) : 0;
    return source;
}

ByteSource ByteSource::fromMemory(std::span<const std::uint8_t> bytes) {
    ByteSource source;
    source.memory_ = bytes.data();
    source.size_ = static_cast<std::int64_t>(bytes.size());
    return source;
}

ByteSource::ByteSource(ByteSource&& other) noexcept
    : descriptor_(other.descriptor_), memory_(other.memory_), size_(other.size_) {
    other.descriptor_ = -1;
}

ByteSource& ByteSource::operator=(ByteSource&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = other.descriptor_;
        memory_ = other.memory_;
        size_ = other.size_;
        other.descriptor_ = -1;
    }
    return *this;
}

ByteSource::~ByteSource() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

Result<std::size_t> ByteSource::readAt(std::int64_t offset, std::uint8_t* into, std::size_t count) const {
    // Nothing to read leaves `into` alone: an empty buffer may have no address at all.
    if (offset < 0 || offset >= size_ || count == 0) {
        return std::size_t{0};
    }
    // Written so that it cannot overflow: compare with what is left, never add to the offset.
    const auto available = static_cast<std::uint64_t>(size_ - offset);
    if (count > available) {
        count = static_cast<std::size_t>(available);
    }
    if (memory_ != nullptr) {
        std::memcpy(into, memory_ + offset, count);
        return count;
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(descriptor_, into + done, count - done,
                                    static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Error::fromSystem(errno);
        }
        if (got == 0) {
            break;  // the file shrank since it was opened
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

Result<std::size_t> ByteSource::readParts(std::int64_t offset, std::span<const ReadPart> parts) const {
    if (offset < 0 || offset >= size_) {
        return std::size_t{0};
    }
    const auto available = static_cast<std::uint64_t>(size_ - offset);
    std::array<std::uint8_t, 4096> dropped;
    std::array<iovec, 1024> vectors;
    const std::size_t vectorLimit = std::min<std::size_t>(vectors.size(), IOV_MAX);
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
        std::size_t vectorCount = 0;
        std::uint64_t wanted = 0;
        for (std::size_t i = part; i < parts.size() && vectorCount < vectorLimit && wanted < available - done; ++i) {
            const std::size_t skip = i == part ? partDone : 0;
            const auto count = static_cast<std::size_t>(
                std::min<std::uint64_t>(parts[i].count - skip, available - done - wanted));
            // Dropped bytes all land in one small buffer, a buffer's length at a time.
            const bool drop = parts[i].into == nullptr;
            const std::size_t length = drop ? std::min(count, dropped.size()) : count;
            vectors[vectorCount++] = {drop ? dropped.data() : parts[i].into + skip, length};
            wanted += length;
            if (length != count) {
                break;
            }
        }
        std::size_t got = 0;
        if (memory_ != nullptr) {
            for (std::size_t i = 0; i < vectorCount; ++i) {
                std::memcpy(vectors[i].iov_base, memory_ + offset + done + got, vectors[i].iov_len);
                got += vectors[i].iov_len;
            }
        } else {
            const ssize_t read = ::preadv(descriptor_, vectors.data(), static_cast<int>(vectorCount),
                                          static_cast<off_t>(offset) + static_cast<off_t>(done));
            if (read < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return Error::fromSystem(errno);
            }
            if (read == 0) {
                return done;  // the file shrank since it was opened
            }
            got = static_cast<std::size_t>(read);
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
    if (memory_ != nullptr || descriptor_ < 0) {
        return readAt(0, into, count);
    }
    // The descriptor is fresh from open(), so its position is the start of the file.
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(descriptor_, into + done, count - done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Error::fromSystem(errno);
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

}  // namespace korvex
