// The trace stack's transpose: blocks of maps by pixels turned in vector registers (AVX2 8 x 8 when the
// processor has it, SSE or NEON 4 x 4), plain loops for the edges and for other processors.
#include "extract/transpose.hpp"

#include "extract/processor.hpp"

// SSE on x86 (MSVC defines no __SSE__, but its x64 always has SSE, and its 32-bit x86 does from
// /arch:SSE on), NEON on 64-bit ARM.
#if defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#define KORVEX_TRANSPOSE_SSE 1
#include <xmmintrin.h>
#elif defined(__ARM_NEON) || defined(_M_ARM64)
#define KORVEX_TRANSPOSE_NEON 1
#include <arm_neon.h>
#endif

// AVX2 compiled for one function and chosen at run time: GCC and Clang on x86 only (not clang-cl,
// whose runtime may lack the processor test).
#if (defined(__GNUC__) || defined(__clang__)) && !defined(_MSC_VER) && (defined(__x86_64__) || defined(__i386__))
#define KORVEX_TRANSPOSE_AVX2 1
#include <immintrin.h>
#endif

namespace korvex {

namespace {

// Pixels [firstPixel, pixels) of maps [firstMap, maps), one value at a time.
void transposeLoop(const float* from, std::size_t mapStride, float* to, std::size_t pixelStride, std::int64_t firstMap,
                   std::int64_t maps, std::int64_t firstPixel, std::int64_t pixels) {
    for (std::int64_t i = firstPixel; i < pixels; ++i) {
        float* pixel = to + static_cast<std::size_t>(i) * pixelStride;
        for (std::int64_t g = firstMap; g < maps; ++g) {
            pixel[g] = from[static_cast<std::size_t>(g) * mapStride + static_cast<std::size_t>(i)];
        }
    }
}

#if defined(KORVEX_TRANSPOSE_SSE) || defined(KORVEX_TRANSPOSE_NEON)
constexpr bool hasBlocks4 = true;

// Four values of four maps to four pixels.
inline void transpose4(const float* from, std::size_t mapStride, float* to, std::size_t pixelStride) {
#if defined(KORVEX_TRANSPOSE_SSE)
    __m128 row0 = _mm_loadu_ps(from);
    __m128 row1 = _mm_loadu_ps(from + mapStride);
    __m128 row2 = _mm_loadu_ps(from + 2 * mapStride);
    __m128 row3 = _mm_loadu_ps(from + 3 * mapStride);
    _MM_TRANSPOSE4_PS(row0, row1, row2, row3);
    _mm_storeu_ps(to, row0);
    _mm_storeu_ps(to + pixelStride, row1);
    _mm_storeu_ps(to + 2 * pixelStride, row2);
    _mm_storeu_ps(to + 3 * pixelStride, row3);
#else
    // Rows a, b, c, d: trn pairs a with b and c with d (a0 b0 a2 b2, a1 b1 a3 b3, ...), and the
    // halves of those pairs joined give the columns (a0 b0 c0 d0, ...).
    const float32x4x2_t ab = vtrnq_f32(vld1q_f32(from), vld1q_f32(from + mapStride));
    const float32x4x2_t cd = vtrnq_f32(vld1q_f32(from + 2 * mapStride), vld1q_f32(from + 3 * mapStride));
    vst1q_f32(to, vcombine_f32(vget_low_f32(ab.val[0]), vget_low_f32(cd.val[0])));
    vst1q_f32(to + pixelStride, vcombine_f32(vget_low_f32(ab.val[1]), vget_low_f32(cd.val[1])));
    vst1q_f32(to + 2 * pixelStride, vcombine_f32(vget_high_f32(ab.val[0]), vget_high_f32(cd.val[0])));
    vst1q_f32(to + 3 * pixelStride, vcombine_f32(vget_high_f32(ab.val[1]), vget_high_f32(cd.val[1])));
#endif
}
#else
constexpr bool hasBlocks4 = false;

inline void transpose4(const float* from, std::size_t mapStride, float* to, std::size_t pixelStride) {
    transposeLoop(from, mapStride, to, pixelStride, 0, 4, 0, 4);
}
#endif

// Blocks of 4 x 4 where there are registers for them, the edges one value at a time.
void transposeBlocks4(const float* from, std::size_t mapStride, float* to, std::size_t pixelStride, std::int64_t maps,
                      std::int64_t pixels) {
    std::int64_t i = 0;
    if constexpr (hasBlocks4) {
        const std::int64_t wholeMaps = maps / 4 * 4;
        for (; i + 4 <= pixels; i += 4) {
            float* pixel = to + static_cast<std::size_t>(i) * pixelStride;
            for (std::int64_t g = 0; g < wholeMaps; g += 4) {
                transpose4(from + static_cast<std::size_t>(g) * mapStride + static_cast<std::size_t>(i), mapStride,
                           pixel + g, pixelStride);
            }
            transposeLoop(from, mapStride, to, pixelStride, wholeMaps, maps, i, i + 4);
        }
    }
    transposeLoop(from, mapStride, to, pixelStride, 0, maps, i, pixels);
}

#if defined(KORVEX_TRANSPOSE_AVX2)
// Eight values of eight maps to eight pixels: pairs of rows interleaved, then pairs of pairs, then
// the 128-bit halves exchanged.
__attribute__((target("avx2"))) inline void transpose8(const float* from, std::size_t mapStride, float* to,
                                                      std::size_t pixelStride) {
    const __m256 r0 = _mm256_loadu_ps(from);
    const __m256 r1 = _mm256_loadu_ps(from + mapStride);
    const __m256 r2 = _mm256_loadu_ps(from + 2 * mapStride);
    const __m256 r3 = _mm256_loadu_ps(from + 3 * mapStride);
    const __m256 r4 = _mm256_loadu_ps(from + 4 * mapStride);
    const __m256 r5 = _mm256_loadu_ps(from + 5 * mapStride);
    const __m256 r6 = _mm256_loadu_ps(from + 6 * mapStride);
    const __m256 r7 = _mm256_loadu_ps(from + 7 * mapStride);
    const __m256 t0 = _mm256_unpacklo_ps(r0, r1);
    const __m256 t1 = _mm256_unpackhi_ps(r0, r1);
    const __m256 t2 = _mm256_unpacklo_ps(r2, r3);
    const __m256 t3 = _mm256_unpackhi_ps(r2, r3);
    const __m256 t4 = _mm256_unpacklo_ps(r4, r5);
    const __m256 t5 = _mm256_unpackhi_ps(r4, r5);
    const __m256 t6 = _mm256_unpacklo_ps(r6, r7);
    const __m256 t7 = _mm256_unpackhi_ps(r6, r7);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    _mm256_storeu_ps(to, _mm256_permute2f128_ps(u0, u4, 0x20));
    _mm256_storeu_ps(to + pixelStride, _mm256_permute2f128_ps(u1, u5, 0x20));
    _mm256_storeu_ps(to + 2 * pixelStride, _mm256_permute2f128_ps(u2, u6, 0x20));
    _mm256_storeu_ps(to + 3 * pixelStride, _mm256_permute2f128_ps(u3, u7, 0x20));
    _mm256_storeu_ps(to + 4 * pixelStride, _mm256_permute2f128_ps(u0, u4, 0x31));
    _mm256_storeu_ps(to + 5 * pixelStride, _mm256_permute2f128_ps(u1, u5, 0x31));
    _mm256_storeu_ps(to + 6 * pixelStride, _mm256_permute2f128_ps(u2, u6, 0x31));
    _mm256_storeu_ps(to + 7 * pixelStride, _mm256_permute2f128_ps(u3, u7, 0x31));
}

// Blocks of 8 x 8, a pixel's values of all maps written before the next pixel's, the maps left over
// in blocks of 4 x 4, the edges one value at a time.
__attribute__((target("avx2"))) void transposeBlocks8(const float* from, std::size_t mapStride, float* to,
                                                     std::size_t pixelStride, std::int64_t maps, std::int64_t pixels) {
    const std::int64_t maps8 = maps / 8 * 8;
    const std::int64_t maps4 = maps / 4 * 4;
    std::int64_t i = 0;
    for (; i + 8 <= pixels; i += 8) {
        float* pixel = to + static_cast<std::size_t>(i) * pixelStride;
        const float* values = from + static_cast<std::size_t>(i);
        for (std::int64_t g = 0; g < maps8; g += 8) {
            transpose8(values + static_cast<std::size_t>(g) * mapStride, mapStride, pixel + g, pixelStride);
        }
        if (maps4 > maps8) {
            transpose4(values + static_cast<std::size_t>(maps8) * mapStride, mapStride, pixel + maps8, pixelStride);
            transpose4(values + static_cast<std::size_t>(maps8) * mapStride + 4, mapStride, pixel + 4 * pixelStride + maps8,
                       pixelStride);
        }
        transposeLoop(from, mapStride, to, pixelStride, maps4, maps, i, i + 8);
    }
    transposeBlocks4(from + i, mapStride, to + static_cast<std::size_t>(i) * pixelStride, pixelStride, maps, pixels - i);
}

#endif

}  // namespace

void transposeMaps(const float* from, std::size_t mapStride, float* to, std::size_t pixelStride, std::int64_t maps,
                   std::int64_t pixels) {
#if defined(KORVEX_TRANSPOSE_AVX2)
    if (processorHasAvx2()) {
        transposeBlocks8(from, mapStride, to, pixelStride, maps, pixels);
        return;
    }
#endif
    transposeBlocks4(from, mapStride, to, pixelStride, maps, pixels);
}

void transposeMapsPortable(const float* from, std::size_t mapStride, float* to, std::size_t pixelStride,
                           std::int64_t maps, std::int64_t pixels) {
    transposeBlocks4(from, mapStride, to, pixelStride, maps, pixels);
}

}  // namespace korvex
