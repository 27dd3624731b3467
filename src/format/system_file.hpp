// SystemFile: the operating system's side of a ByteSource, a file open for reading. One
// implementation per platform: system_file_posix.cpp (descriptors) and system_file_win32.cpp
// (handles); CMake builds the one that fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "format/result.hpp"

namespace korvex {

// One buffer of a scattered read.
struct ReadSpan {
    std::uint8_t* into;
    std::size_t count;
};

class SystemFile {
public:
    // The most buffers one readSpans call takes.
    static const std::size_t mostSpans;
    // The most bytes any one call is asked for: some systems refuse a count past INT_MAX, and a
    // Windows read takes a 32-bit count.
    static constexpr std::size_t mostBytes = std::size_t{1} << 30;

    // Opens `path` (UTF-8 on Windows) read-only, with no inheritance by child processes. A directory
    // is refused as the interpreter's open() refuses it: EISDIR on POSIX, EACCES on Windows. Errors
    // hold errno values, on every system.
    static Result<SystemFile> open(const std::string& path);
    // The file behind a descriptor (a HANDLE's value on Windows) that the caller owns and keeps open
    // for as long as this object: it is read at offsets, and never closed here. Refused as open()
    // refuses it: a directory, or a descriptor that is not open.
    static Result<SystemFile> borrow(std::intptr_t native);

    SystemFile() = default;
    SystemFile(SystemFile&& other) noexcept
        : native_(other.native_), size_(other.size_), seekable_(other.seekable_), owned_(other.owned_) {
        other.native_ = -1;
    }
    SystemFile& operator=(SystemFile&& other) noexcept;
    SystemFile(const SystemFile&) = delete;
    SystemFile& operator=(const SystemFile&) = delete;
    ~SystemFile() { close(); }

    bool isOpen() const noexcept { return native_ != -1; }
    // The size of a regular file when it was opened; 0 for pipes and devices, which have none.
    std::int64_t size() const noexcept { return size_; }
    // Whether the file can be read at an offset, as the interpreter's seekable() tells: false for
    // pipes, FIFOs, sockets and terminals, which are streams.
    bool seekable() const noexcept { return seekable_; }

    // One read of up to `count` (at most mostBytes) bytes at `offset`: fewer only where the file
    // ends (0 there) or the system gives fewer. A call that a signal interrupts is made again, unless
    // the thread's InterruptionScope says stop: then each of these calls, and open(), fails with
    // ErrorKind::interrupted.
    Result<std::size_t> readAt(std::int64_t offset, std::uint8_t* into, std::size_t count) const;

    // One scattered read of consecutive spans (at most mostSpans, at most mostBytes in all) from
    // `offset` on: fewer bytes than they hold only where the file ends or the system gives fewer.
    Result<std::size_t> readSpans(std::int64_t offset, std::span<const ReadSpan> spans) const;

    // One read of up to `count` bytes from the start as a stream, `done` bytes of it read already:
    // pipes and devices, which cannot be read at an offset, answer this too.
    Result<std::size_t> readFromStart(std::uint64_t done, std::uint8_t* into, std::size_t count) const;

private:
    void close() noexcept;
    // Takes the size and the kind of the file just opened or borrowed; the error when it is refused.
    std::optional<Error> describe();

    // The descriptor, or the HANDLE's value; -1 (INVALID_HANDLE_VALUE on Windows) for none.
    std::intptr_t native_ = -1;
    std::int64_t size_ = 0;
    bool seekable_ = true;
    bool owned_ = true;  // closed with this object
};

inline SystemFile& SystemFile::operator=(SystemFile&& other) noexcept {
    if (this != &other) {
        close();
        native_ = other.native_;
        size_ = other.size_;
        seekable_ = other.seekable_;
        owned_ = other.owned_;
        other.native_ = -1;
    }
    return *this;
}

}  // namespace korvex
