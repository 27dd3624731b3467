// Running core work with the GIL released, interruptible by the interpreter's signal handlers.
#pragma once

#include "module/py_ref.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <optional>
#include <thread>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

#if PY_VERSION_HEX >= 0x030D0000 && defined(HAVE_FORK)
#include <pthread.h>
#endif

#include "format/interruption.hpp"
#include "format/result.hpp"
#include "module/boundary.hpp"
#include "module/errors.hpp"

namespace korvex {

// Handing the GIL from one call to the next without sleeping. Two threads that read small files
// hand the GIL to each other on every call: each takes it back at the end of its GIL-free stretch,
// while the other holds it to make its objects. A thread that finds the GIL taken sleeps in the
// interpreter until the holder wakes it, and on a virtual machine the waking takes longer than a
// whole call of a small file, so that without this two threads read fewer files a second than
// one. Instead a call whose stretch ends while another call holds the GIL (taken back after its
// own stretch, and not released since) spins until that call releases it in its next stretch,
// and takes it at once; it spins no longer than a short call holds the GIL, since the holder may
// have gone on to other work. The one GIL of the process is shared by every interpreter that can
// import the module, so one slot serves. A build without the GIL has nothing to hand over.
namespace handover {

// When a call took the GIL back after its stretch (steady clock, nanoseconds), or 0 once that
// call has released it again.
inline std::atomic<std::int64_t> gilTakenAt{0};
inline constexpr std::int64_t longestWaitNs = 50'000;
inline constexpr std::int64_t yieldAfterNs = 5'000;

inline std::int64_t now() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline void pause() noexcept {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_pause();
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __yield();
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#elif (defined(__GNUC__) || defined(__clang__)) && defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// The value this thread last put in the slot.
inline thread_local std::int64_t ownTaking = 0;

// Once the GIL is released: the slot is cleared, unless another call has taken the GIL since. Not
// before the release, or a waiting call would find the GIL still held and sleep after all.
inline void released() noexcept {
#ifndef Py_GIL_DISABLED
    std::int64_t mine = ownTaking;
    if (mine != 0) {
        gilTakenAt.compare_exchange_strong(mine, 0, std::memory_order_relaxed);
    }
#endif
}

// Before the GIL is taken back: waits while another call holds it, for a short while at most.
inline void waitForRelease() noexcept {
#ifndef Py_GIL_DISABLED
    const std::int64_t taken = gilTakenAt.load(std::memory_order_relaxed);
    if (taken == 0) {
        return;
    }
    const std::int64_t start = now();
    if (start - taken > longestWaitNs) {
        return;
    }
    // The slot is watched at every pause, the clock read at every 16th. After the first few
    // microseconds the thread also yields its processor at each reading, in case the holder waits
    // for it on a machine with more threads running than processors.
    for (unsigned pauses = 1;; ++pauses) {
        pause();
        const std::int64_t holder = gilTakenAt.load(std::memory_order_relaxed);
        if (holder == 0) {
            return;
        }
        if (pauses % 16 == 0) {
            const std::int64_t time = now();
            if (time - holder > longestWaitNs) {
                return;
            }
            if (time - start > yieldAfterNs) {
                std::this_thread::yield();
            }
        }
    }
#endif
}

// Once the GIL is taken back.
inline void taken() noexcept {
#ifndef Py_GIL_DISABLED
    ownTaking = now();
    gilTakenAt.store(ownTaking, std::memory_order_relaxed);
#endif
}

}  // namespace handover

// Takes the GIL back after PyEval_SaveThread: every re-take of the module goes through here. When
// the interpreter ends the thread instead (at exit, a thread other than the exiting one), the thread
// is parked where it asks, before any of the module's frames is unwound (parkEndedThread). No C API
// function lets a C++ exception out, so whatever leaves PyEval_RestoreThread is that ending: the
// forced unwind of pthread_exit on glibc; other systems end the thread without unwinding, and a
// CPython of 3.14 on blocks it inside.
inline void retakeGil(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        parkEndedThread();
    }
}

// The core's interruption check while the GIL is released: takes the GIL back, runs the
// interpreter's signal handlers as its own file reads do, and releases the GIL again. A handler
// that raises stops the work; its exception is kept for raiseError.
class SignalCheck final : public InterruptionCheck {
public:
    explicit SignalCheck(PyThreadState*& released) : released_(released) {}

    bool stopRequested() noexcept override {
        retakeGil(released_);
        const bool raised = PyErr_CheckSignals() != 0;
        if (raised) {
            keepInterruption();
        }
        released_ = PyEval_SaveThread();
        return raised;
    }

private:
    PyThreadState*& released_;
};

// With the GIL: whether the interpreter runs signal handlers on this thread (its main thread, in
// the main interpreter); anywhere else PyErr_CheckSignals runs none, so taking the GIL back to call
// it would only wait on other threads. Asked of the interpreter itself, never of `threading`, whose
// import a call must not cause and whose main thread is the thread that first imported it. The
// interpreter's main thread is the one that started it, and after a fork the thread that forked.
#if PY_VERSION_HEX < 0x030D0000

// CPython 3.10 to 3.12 declare the interpreter's own test (intrcheck.h).
inline bool runsSignalHandlers() {
    return _PyOS_IsMainThread() != 0;
}

#else

// CPython 3.13 on no longer declare it; threading asks _thread._get_main_thread_ident(), and so
// does this, through the _thread module that the import system loads at start-up (looked up in
// sys.modules, never imported). The answer is kept until a fork, whose child forgets it.
namespace mainthread {

inline std::atomic<unsigned long> known{0};

inline void forget() noexcept {
    known.store(0, std::memory_order_relaxed);
}

inline unsigned long ask() {
#ifdef HAVE_FORK
    static const bool forgottenAtFork = pthread_atfork(nullptr, nullptr, forget) == 0;
    static_cast<void>(forgottenAtFork);
#endif
    PyRef name(PyUnicode_InternFromString("_thread"));
    PyRef thread = name ? PyRef(PyImport_GetModule(name.get())) : PyRef();
    PyRef ident = thread ? PyRef(PyObject_CallMethod(thread.get(), "_get_main_thread_ident", nullptr)) : PyRef();
    const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (!ident || (value == static_cast<unsigned long>(-1) && PyErr_Occurred())) {
        PyErr_Clear();
        return 0;
    }
    return value;
}

}  // namespace mainthread

inline bool runsSignalHandlers() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        return false;
    }
    unsigned long main = mainthread::known.load(std::memory_order_relaxed);
    if (main == 0) {
        main = mainthread::ask();
        if (main == 0) {
            return false;
        }
        mainthread::known.store(main, std::memory_order_relaxed);
    }
    return PyThread_get_thread_ident() == main;
}

#endif

// Runs `work`, which returns a Result, with the GIL released; it must not touch the interpreter.
// A failed allocation becomes an Error; any other exception is passed on with the GIL taken back,
// to the entry point's boundary. On the thread that runs signal handlers, a handler that raises
// stops the work's reads (ErrorKind::interrupted).
template <typename Work>
auto withoutGil(Work&& work) -> decltype(work()) {
    PyThreadState* state = nullptr;
    SignalCheck check(state);
    std::optional<InterruptionScope> scope;
    if (runsSignalHandlers()) {
        scope.emplace(check);
    }
    const auto takeBack = [&state] {
        handover::waitForRelease();
        retakeGil(state);
        handover::taken();
    };
    state = PyEval_SaveThread();
    handover::released();
    try {
        auto result = work();
        takeBack();
        return result;
    } catch (const std::bad_alloc&) {
        takeBack();
        return Error::noMemory();
    } catch (...) {
        // Any other exception goes on to the entry point's boundary, which needs the GIL.
        takeBack();
        throw;
    }
}

}  // namespace korvex
