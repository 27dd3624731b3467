// Typed failures of the parsing core and the Result type that carries them.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <variant>

namespace korvex {

enum class ErrorKind {
    system,     // an operating-system call failed; `systemError` holds errno
    shortRead,  // fewer bytes than a fixed-width value needs; `byteCount` holds the width
    noMemory,   // an allocation failed
    parameterType,           // a parameter record of an unknown type; `value` holds the type
    unterminatedParameters,  // a parameter block ran into the end of the file; `value` holds its offset
    parameterLabel,          // a parameter label that is not UTF-8; `label` holds its four bytes
    storeTablePastEnd,       // a map block's store table ends beyond the file; `value` holds the block's offset
    readLength,              // a length below -1 to read, as a file object refuses it; `value` holds it
    notOpusFile,             // the file does not begin with the magic number
    interrupted,             // the caller's interruption check asked a read to stop
    notSeekable,             // the file is a stream (a pipe, a FIFO, a terminal) and cannot be read at an offset
};

struct Error {
    ErrorKind kind;
    int systemError = 0;
    std::int64_t value = 0;
    std::array<std::uint8_t, 4> label{};

    static Error fromSystem(int errnoValue) { return {ErrorKind::system, errnoValue}; }
    static Error shortReadOf(std::int64_t width) { return {ErrorKind::shortRead, 0, width}; }
    static Error noMemory() { return {ErrorKind::noMemory}; }
    static Error parameterTypeOf(std::int64_t type) { return {ErrorKind::parameterType, 0, type}; }
    static Error unterminatedParametersAt(std::int64_t offset) {
        return {ErrorKind::unterminatedParameters, 0, offset};
    }
    static Error parameterLabelOf(const std::array<std::uint8_t, 4>& bytes) {
        return {ErrorKind::parameterLabel, 0, 0, bytes};
    }
    static Error storeTablePastEndAt(std::int64_t offset) { return {ErrorKind::storeTablePastEnd, 0, offset}; }
    static Error readLengthOf(std::int64_t length) { return {ErrorKind::readLength, 0, length}; }
    static Error notOpus() { return {ErrorKind::notOpusFile}; }
    static Error interruption() { return {ErrorKind::interrupted}; }
    static Error notSeekableFile() { return {ErrorKind::notSeekable}; }
};

// Either a value or an Error; the core's functions return these instead of throwing.
template <typename T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    bool ok() const noexcept { return std::holds_alternative<T>(state_); }
    T& value() & { return std::get<T>(state_); }
    const T& value() const& { return std::get<T>(state_); }
    T&& value() && { return std::get<T>(std::move(state_)); }
    const Error& error() const { return std::get<Error>(state_); }

private:
    std::variant<T, Error> state_;
};

}  // namespace korvex
