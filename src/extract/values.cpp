// NumPy's linspace, value for value, and reading float32 values straight into their array.
#include "extract/values.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "extract/processor.hpp"
#include "format/interruption.hpp"

// The step loop in vector registers: SSE2 on x86-64 (its baseline), or AVX2, chosen at run time
// where the processor and the system have it; NEON on 64-bit ARM; the plain loop elsewhere (s390x
// among them). GCC and Clang compile a function for AVX2 when its target attribute says so; MSVC
// takes the intrinsics of any extension without one. Only the AVX2 function has the attribute, and
// it is called only after the check, so nothing else of the build needs more than the baseline.
#if defined(__x86_64__) || (defined(_M_X64) && !defined(_M_ARM64EC))
#define KORVEX_STEPS_X86 1
#include <immintrin.h>
#if defined(__GNUC__) || defined(__clang__)
#define KORVEX_TARGET(features) __attribute__((target(features)))
#else
#define KORVEX_TARGET(features)
#endif
#elif (defined(__aarch64__) && defined(__ARM_NEON)) || defined(_M_ARM64)
#define KORVEX_STEPS_NEON 1
#include <arm_neon.h>
#endif

namespace korvex {

bool spacingIsExact(double first, double last) {
    // Ends of this size keep every intermediate result finite: |last - first| <= 2e300, and
    // |k * step + first| stays below 3e300 (k * step is within rounding of k / (n - 1) of it).
    constexpr double limit = 1e300;
    return std::isfinite(first) && std::isfinite(last) && std::fabs(first) <= limit && std::fabs(last) <= limit;
}

namespace {

// values[k] = k * step + first for k from `begin` to `end`, each operation rounded on its own as
// NumPy's are.
template <typename Index>
void fromSteps(double first, double step, double* values, Index begin, Index end) {
    for (Index k = begin; k < end; ++k) {
        const double scaled = static_cast<double>(k) * step;
        values[k] = scaled + first;
    }
}

// The vector forms. Each keeps the index k as a double in every lane: an integer below 2^31 is a
// double exactly, and adding the vector width to it stays exact, so each lane holds what
// static_cast<double>(k) gives. Then one multiply and one add, as the plain loop does; the values
// that do not fill a vector go through the plain loop.
#if defined(KORVEX_STEPS_X86)

// The first index from `begin` on whose value lands on an `alignment`-byte boundary (stores that
// straddle cache lines cost more), no further than `end`; `begin` itself when the values are not
// aligned on 8 bytes, as no index then lands there.
std::int32_t alignedFrom(const double* values, std::int32_t begin, std::int32_t end, std::size_t alignment) {
    const auto address = reinterpret_cast<std::uintptr_t>(values + begin);
    if (address % sizeof(double) != 0) {
        return begin;
    }
    const auto before = static_cast<std::int32_t>((alignment - address % alignment) % alignment / sizeof(double));
    return begin + std::min(before, end - begin);
}

void sse2Steps(double first, double step, double* values, std::int32_t begin, std::int32_t end) {
    const __m128d steps = _mm_set1_pd(step);
    const __m128d firsts = _mm_set1_pd(first);
    const __m128d width = _mm_set1_pd(4.0);
    const double from = begin;
    __m128d low = _mm_setr_pd(from, from + 1.0);
    __m128d high = _mm_setr_pd(from + 2.0, from + 3.0);
    std::int32_t k = begin;
    for (; end - k >= 4; k += 4) {
        _mm_storeu_pd(values + k, _mm_add_pd(_mm_mul_pd(low, steps), firsts));
        _mm_storeu_pd(values + k + 2, _mm_add_pd(_mm_mul_pd(high, steps), firsts));
        low = _mm_add_pd(low, width);
        high = _mm_add_pd(high, width);
    }
    fromSteps(first, step, values, k, end);
}

// There is no AVX-512 form: on the real files' axes (some 7,000 values each) it wrote no faster
// than AVX2 (0.82 against 0.81 us, best of 31 rounds), the stores bounding both, and on some
// processors it lowers the core's clock for what runs after it.
KORVEX_TARGET("avx2")
void avx2Steps(double first, double step, double* values, std::int32_t begin, std::int32_t end) {
    const __m256d steps = _mm256_set1_pd(step);
    const __m256d firsts = _mm256_set1_pd(first);
    const __m256d width = _mm256_set1_pd(8.0);
    const std::int32_t aligned = alignedFrom(values, begin, end, 32);
    fromSteps(first, step, values, begin, aligned);
    begin = aligned;
    const double from = begin;
    __m256d low = _mm256_setr_pd(from, from + 1.0, from + 2.0, from + 3.0);
    __m256d high = _mm256_setr_pd(from + 4.0, from + 5.0, from + 6.0, from + 7.0);
    std::int32_t k = begin;
    for (; end - k >= 8; k += 8) {
        _mm256_storeu_pd(values + k, _mm256_add_pd(_mm256_mul_pd(low, steps), firsts));
        _mm256_storeu_pd(values + k + 4, _mm256_add_pd(_mm256_mul_pd(high, steps), firsts));
        low = _mm256_add_pd(low, width);
        high = _mm256_add_pd(high, width);
    }
    fromSteps(first, step, values, k, end);
}

#elif defined(KORVEX_STEPS_NEON)

void neonSteps(double first, double step, double* values, std::int32_t begin, std::int32_t end) {
    const float64x2_t steps = vdupq_n_f64(step);
    const float64x2_t firsts = vdupq_n_f64(first);
    const float64x2_t width = vdupq_n_f64(4.0);
    const double from = begin;
    const double lanes[4] = {from, from + 1.0, from + 2.0, from + 3.0};
    float64x2_t low = vld1q_f64(lanes);
    float64x2_t high = vld1q_f64(lanes + 2);
    std::int32_t k = begin;
    for (; end - k >= 4; k += 4) {
        vst1q_f64(values + k, vaddq_f64(vmulq_f64(low, steps), firsts));
        vst1q_f64(values + k + 2, vaddq_f64(vmulq_f64(high, steps), firsts));
        low = vaddq_f64(low, width);
        high = vaddq_f64(high, width);
    }
    fromSteps(first, step, values, k, end);
}

#endif

struct StepLoops {
    std::array<StepLoop, 3> loops{};
    std::size_t count = 0;

    StepLoops() {
        loops[count++] = StepLoop::plain;
#if defined(KORVEX_STEPS_X86)
        loops[count++] = StepLoop::sse2;
        if (processorHasAvx2()) {
            loops[count++] = StepLoop::avx2;
        }
#elif defined(KORVEX_STEPS_NEON)
        loops[count++] = StepLoop::neon;
#endif
    }
};

const StepLoops& availableStepLoops() {
    static const StepLoops loops;
    return loops;
}

// Calls fill(begin, end) over 0 .. count in stretches of an interruption interval's bytes, asking
// before each whether to stop; false when it stopped.
template <typename Fill>
bool inStretches(std::size_t count, Fill fill) {
    constexpr std::size_t stretch = interruptionIntervalBytes / sizeof(double);
    for (std::size_t begin = 0; begin < count; begin += stretch) {
        const std::size_t end = std::min(count, begin + stretch);
        if (InterruptionScope::stopBefore((end - begin) * sizeof(double))) {
            return false;
        }
        fill(begin, end);
    }
    return true;
}

}  // namespace

std::span<const StepLoop> stepLoops() {
    const StepLoops& available = availableStepLoops();
    return std::span<const StepLoop>(available.loops.data(), available.count);
}

void fillSteps(StepLoop loop, double first, double step, double* values, std::int32_t begin, std::int32_t end) {
    switch (loop) {
#if defined(KORVEX_STEPS_X86)
        case StepLoop::sse2:
            sse2Steps(first, step, values, begin, end);
            return;
        case StepLoop::avx2:
            avx2Steps(first, step, values, begin, end);
            return;
#elif defined(KORVEX_STEPS_NEON)
        case StepLoop::neon:
            neonSteps(first, step, values, begin, end);
            return;
#endif
        default:
            fromSteps(first, step, values, begin, end);
            return;
    }
}

bool evenlySpaced(double first, double last, std::span<double> axis) {
    const std::size_t count = axis.size();
    if (count == 0) {
        return true;
    }
    const double delta = last - first;
    if (count == 1) {
        axis[0] = 0.0 * delta + first;
        return true;
    }
    double* values = axis.data();
    const auto divisions = static_cast<double>(count - 1);
    const double step = delta / divisions;
    bool filled;
    if (step == 0.0) {
        filled = inStretches(count, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const double fraction = static_cast<double>(k) / divisions;
                const double scaled = fraction * delta;
                values[k] = scaled + first;
            }
        });
    } else if (count <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        const StepLoop fastest = stepLoops().back();
        filled = inStretches(count, [&](std::size_t begin, std::size_t end) {
            fillSteps(fastest, first, step, values, static_cast<std::int32_t>(begin), static_cast<std::int32_t>(end));
        });
    } else {
        filled = inStretches(count, [&](std::size_t begin, std::size_t end) { fromSteps(first, step, values, begin, end); });
    }
    axis[count - 1] = last;
    return filled;
}

std::int64_t storedValueCount(const ByteSource& source, std::int64_t offset, std::int64_t count) {
    const std::int64_t bytesLeft = std::max<std::int64_t>(source.size() - offset, 0);
    return std::min(count, bytesLeft / static_cast<std::int64_t>(sizeof(float)));
}

Result<std::size_t> readValues(const ByteSource& source, std::int64_t offset, std::span<float> into) {
    static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);
    auto* bytes = reinterpret_cast<std::uint8_t*>(into.data());
    auto got = source.readAt(offset, bytes, into.size_bytes());
    if (!got.ok()) {
        return got.error();
    }
    const std::size_t values = got.value() / sizeof(float);
    fromLittleEndian(into.first(values));
    return values;
}

void fromLittleEndian(std::span<float> values) {
    if constexpr (std::endian::native == std::endian::big) {
        auto* bytes = reinterpret_cast<std::uint8_t*>(values.data());
        for (std::size_t i = 0; i < values.size(); ++i) {
            std::uint32_t word;
            std::memcpy(&word, bytes + 4 * i, 4);
            word = (word >> 24) | ((word >> 8) & 0xFF00u) | ((word << 8) & 0xFF0000u) | (word << 24);
            std::memcpy(bytes + 4 * i, &word, 4);
        }
    }
}

}  // namespace korvex
