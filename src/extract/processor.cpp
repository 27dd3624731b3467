// The run-time processor test behind the vector forms of the x axis and the trace stack.
#include "extract/processor.hpp"

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86)) && !defined(_M_ARM64EC)
#define KORVEX_PROCESSOR_CPUID 1
#include <immintrin.h>
#include <intrin.h>
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define KORVEX_PROCESSOR_BUILTIN 1
#endif

namespace korvex {

namespace {

#if defined(KORVEX_PROCESSOR_CPUID)
// MSVC and clang-cl: cpuid, and xgetbv for what the system saves. clang-cl compiles xgetbv only
// in a function whose target has it.
#if defined(__clang__)
__attribute__((target("xsave")))
#endif
bool askAvx2() {
    int info[4];
    __cpuid(info, 0);
    const int highest = info[0];
    __cpuid(info, 1);
    const bool osSaves = (info[2] & (1 << 27)) != 0;  // OSXSAVE: xgetbv tells what the system saves
    if (highest < 7 || !osSaves || (_xgetbv(0) & 0x6) != 0x6) {  // the SSE and AVX states
        return false;
    }
    __cpuidex(info, 7, 0);
    return (info[1] & (1 << 5)) != 0;
}
#elif defined(KORVEX_PROCESSOR_BUILTIN)
bool askAvx2() {
    // The compiler's run-time library asks cpuid and xgetbv both.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
#else
bool askAvx2() {
    return false;
}
#endif

}  // namespace

bool processorHasAvx2() {
    static const bool has = askAvx2();
    return has;
}

}  // namespace korvex
