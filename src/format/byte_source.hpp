// ByteSource: the one bounds-checked reader of a file's or a buffer's bytes at absolute offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "format/result.hpp"
#include "format/system_file.hpp"

namespace korvex {

// One part of a scattered read: `count` bytes into `into`, or, with a null `into`, read and
// dropped (parts of a few kilobytes drop cheaply; longer ones cost a system call per few kilobytes).
struct ReadPart {
    std::uint8_t* into;
    std::size_t count;
};

// Every read is made in steps of at most interruptionIntervalBytes, and counted by the thread's
// InterruptionScope (see format/interruption.hpp): a read that its check stops fails with
// ErrorKind::interrupted, never as a short read.
class ByteSource {
public:
    // Opens a file read-only (its path in UTF-8 on Windows). A directory is refused as the interpreter's
    // open() refuses it: EISDIR on POSIX systems, EACCES on Windows.
    static Result<ByteSource> open(const std::string& path);
    // A source over a descriptor (a HANDLE's value on Windows) that the caller owns and keeps open
    // for as long as the source, and that is never closed here. readAt and readParts read at
    // offsets (pread), so that the descriptor's shared position plays no part in what they read;
    // readHead reads from that position.
    static Result<ByteSource> borrow(std::intptr_t native);
    // A source over bytes owned by the caller, which must outlive the source.
    static ByteSource fromMemory(std::span<const std::uint8_t> bytes);

    ByteSource(ByteSource&& other) noexcept;
    ByteSource& operator=(ByteSource&& other) noexcept;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;
    ~ByteSource();

    // Bytes in the source: the file's size when it was opened.
    std::int64_t size() const noexcept { return size_; }
    // Whether the source can be read at an offset: false for a pipe, a FIFO, a socket or a terminal,
    // whose readAt and readParts fail with ErrorKind::notSeekable, never as a short or empty read.
    bool seekable() const noexcept { return memory_ != nullptr || !file_.isOpen() || file_.seekable(); }

    // Reads up to `count` bytes at `offset` into `into` and returns how many were read: fewer than
    // `count` only where the source ends. An offset at or past the end reads nothing, and so does a
    // `count` of 0, for which `into` may be null.
    Result<std::size_t> readAt(std::int64_t offset, std::uint8_t* into, std::size_t count) const;

    // Reads consecutive parts from `offset` on, in as few system calls as the system allows, and
    // returns how many bytes were read: fewer than the parts hold only where the source ends.
    Result<std::size_t> readParts(std::int64_t offset, std::span<const ReadPart> parts) const;

    // Reads up to `count` bytes from the very start as a stream, so that pipes and devices, which have
    // no size and cannot be read at an offset, still answer. Used for the magic test only.
    Result<std::size_t> readHead(std::uint8_t* into, std::size_t count) const;

private:
    ByteSource() = default;
    // A source over the file that open() or borrow() got, or their error.
    static Result<ByteSource> overFile(Result<SystemFile> file);

    SystemFile file_;
    const std::uint8_t* memory_ = nullptr;
    std::int64_t size_ = 0;
};

}  // namespace korvex
