// The trace stack's transpose: pixels of several trace maps, each map's values side by side, written
// to the stack, where one pixel's values of those maps lie side by side instead.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex {

// For each map g < `maps` (its values at from + g * mapStride) and each pixel i < `pixels`:
// to[i * pixelStride + g] = from[g * mapStride + i]. Loads and stores only, so every bit of every
// value is kept (signalling NaNs included). Vector registers where the processor has them: AVX2
// (chosen at run time) or SSE on x86, NEON on 64-bit ARM; plain loops elsewhere. Pixel by pixel:
// each pixel's values of all the maps are written before the next pixel's.
void transposeMaps(const float* from, std::size_t mapStride, float* to, std::size_t pixelStride, std::int64_t maps,
                   std::int64_t pixels);

// The same without AVX2: what processors without it run (SSE on x86, NEON on 64-bit ARM, plain
// loops elsewhere).
void transposeMapsPortable(const float* from, std::size_t mapStride, float* to, std::size_t pixelStride,
                           std::int64_t maps, std::int64_t pixels);

}  // namespace korvex
