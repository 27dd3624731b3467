// Typed failures of the parsing core and the Result type that carries them.
#pragma once

#include <utility>
#include <variant>

namespace korvex {

enum class ErrorKind {
    system,     // an operating-system call failed; `systemError` holds errno
    shortRead,  // fewer bytes than a fixed-width value needs; `byteCount` holds the width
    noMemory,   // an allocation failed
};

struct Error {
    ErrorKind kind;
    int systemError = 0;
    long long byteCount = 0;

    static Error fromSystem(int errnoValue) { return {ErrorKind::system, errnoValue, 0}; }
    static Error shortReadOf(long long width) { return {ErrorKind::shortRead, 0, width}; }
    static Error noMemory() { return {ErrorKind::noMemory, 0, 0}; }
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
