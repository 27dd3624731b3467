// Interruption of reads: a check that a caller installs on its thread, which the byte source asks
// when a system call is interrupted by a signal and at intervals of bytes and reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex {

// Whether work in progress is to stop (for the module: whether a signal handler has raised).
// Asked on the thread that installed it, between system calls, never inside one.
class InterruptionCheck {
public:
    virtual bool stopRequested() noexcept = 0;

protected:
    ~InterruptionCheck() = default;
};

// The interval between two checks: this many bytes or this many reads, whichever comes first, or
// this many steps of a walk that reads nothing. Reads are cut into calls of at most
// interruptionIntervalBytes, so that one multi-gigabyte read is checked as it goes. Each is some
// tens of milliseconds of work at most: 32 MiB read from the page cache, a thousand small reads
// with the parsing between them, a million store table entries.
inline constexpr std::size_t interruptionIntervalBytes = std::size_t{32} << 20;
inline constexpr std::uint32_t interruptionIntervalReads = 1024;
inline constexpr std::uint32_t interruptionIntervalSteps = std::uint32_t{1} << 20;

// Installs a check for the reads made on this thread while it lives, the one installed before it
// coming back after. Once the check has said stop, every read on the thread fails until the scope
// ends, without asking it again. With no scope installed, nothing is ever interrupted.
class InterruptionScope {
public:
    explicit InterruptionScope(InterruptionCheck& check) noexcept : check_(check), outer_(current) {
        current = this;
    }
    ~InterruptionScope() { current = outer_; }
    InterruptionScope(const InterruptionScope&) = delete;
    InterruptionScope& operator=(const InterruptionScope&) = delete;

    // Asks the installed check now: a system call was interrupted by a signal.
    static bool stopRequested() noexcept {
        InterruptionScope* scope = current;
        return scope != nullptr && scope->ask();
    }

    // Counts one read of `bytes` about to be made, and asks the check when an interval is
    // complete: true when the read is not to be made.
    static bool stopBefore(std::size_t bytes) noexcept {
        InterruptionScope* scope = current;
        if (scope == nullptr) {
            return false;
        }
        if (scope->stopped_) {
            return true;
        }
        scope->bytes_ += bytes;
        if (++scope->reads_ < interruptionIntervalReads && scope->bytes_ < interruptionIntervalBytes) {
            return false;
        }
        return scope->ask();
    }

    // Counts one step of a walk that reads nothing, and asks the check when an interval is
    // complete: true when the walk is to stop.
    static bool stopAtStep() noexcept {
        InterruptionScope* scope = current;
        if (scope == nullptr) {
            return false;
        }
        if (++scope->steps_ < interruptionIntervalSteps) {
            return scope->stopped_;
        }
        scope->steps_ = 0;
        return scope->ask();
    }

private:
    bool ask() noexcept {
        bytes_ = 0;
        reads_ = 0;
        if (!stopped_) {
            stopped_ = check_.stopRequested();
        }
        return stopped_;
    }

    static inline thread_local InterruptionScope* current = nullptr;

    InterruptionCheck& check_;
    InterruptionScope* outer_;
    std::size_t bytes_ = 0;
    std::uint32_t reads_ = 0;
    std::uint32_t steps_ = 0;
    bool stopped_ = false;
};

}  // namespace korvex
