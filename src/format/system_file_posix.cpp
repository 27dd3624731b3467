// SystemFile on POSIX systems: a descriptor, read with pread, preadv and read.
#include "format/system_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "format/interruption.hpp"

namespace korvex {

// Offsets past 2 GiB: CMake builds the core with _FILE_OFFSET_BITS=64, which 32-bit glibc needs.
static_assert(sizeof(off_t) == 8, "off_t must be 64-bit");

const std::size_t SystemFile::mostSpans = IOV_MAX < 1024 ? IOV_MAX : 1024;

namespace {

int descriptorOf(std::intptr_t native) {
    return static_cast<int>(native);
}

// The error of a call that failed with `code`, or none when it is to be made again: a call that a
// signal interrupted is made again unless the interruption check says stop.
std::optional<Error> failureOf(int code) {
    if (code != EINTR) {
        return Error::fromSystem(code);
    }
    if (InterruptionScope::stopRequested()) {
        return Error::interruption();
    }
    return std::nullopt;
}

}  // namespace

Result<SystemFile> SystemFile::open(const std::string& path) {
    // Opening a FIFO waits for a writer: a signal is its only way out.
    int descriptor;
    for (;;) {
        descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor >= 0) {
            break;
        }
        if (auto failure = failureOf(errno)) {
            return *failure;
        }
    }
    SystemFile file;
    file.native_ = descriptor;
    if (auto refused = file.describe()) {
        return *refused;
    }
    return file;
}

Result<SystemFile> SystemFile::borrow(std::intptr_t native) {
    SystemFile file;
    file.native_ = native;
    file.owned_ = false;
    if (auto refused = file.describe()) {
        return *refused;
    }
    return file;
}

std::optional<Error> SystemFile::describe() {
    const int descriptor = descriptorOf(native_);
    struct stat status;
    if (::fstat(descriptor, &status) != 0) {
        return Error::fromSystem(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return Error::fromSystem(EISDIR);
    }
    size_ = S_ISREG(status.st_mode) ? static_cast<std::int64_t>(status.st_size) : 0;
    // The interpreter's seekable(): whether the system takes a seek at all (ESPIPE for streams).
    seekable_ = ::lseek(descriptor, 0, SEEK_CUR) != -1;
    return std::nullopt;
}

void SystemFile::close() noexcept {
    if (native_ != -1 && owned_) {
        ::close(descriptorOf(native_));
    }
    native_ = -1;
}

Result<std::size_t> SystemFile::readAt(std::int64_t offset, std::uint8_t* into, std::size_t count) const {
    for (;;) {
        const ssize_t got = ::pread(descriptorOf(native_), into, std::min(count, mostBytes), static_cast<off_t>(offset));
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (auto failure = failureOf(errno)) {
            return *failure;
        }
    }
}

Result<std::size_t> SystemFile::readSpans(std::int64_t offset, std::span<const ReadSpan> spans) const {
    std::array<iovec, 1024> vectors;
    const std::size_t count = std::min({spans.size(), vectors.size(), mostSpans});
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i] = {spans[i].into, spans[i].count};
    }
    for (;;) {
        const ssize_t got =
            ::preadv(descriptorOf(native_), vectors.data(), static_cast<int>(count), static_cast<off_t>(offset));
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (auto failure = failureOf(errno)) {
            return *failure;
        }
    }
}

Result<std::size_t> SystemFile::readFromStart(std::uint64_t /*done*/, std::uint8_t* into, std::size_t count) const {
    // The descriptor is fresh from open() and pread leaves its position alone, so read() goes on
    // from where the last call of this stopped, the start the first time.
    for (;;) {
        const ssize_t got = ::read(descriptorOf(native_), into, std::min(count, mostBytes));
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (auto failure = failureOf(errno)) {
            return *failure;
        }
    }
}

}  // namespace korvex
