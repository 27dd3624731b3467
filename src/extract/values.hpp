// Evenly spaced axes, as NumPy spaces them, and the float32 values of data blocks.
#pragma once

#include <cstdint>
#include <span>

#include "format/byte_source.hpp"
#include "format/result.hpp"

namespace korvex {

// Whether evenlySpaced between these ends gives exactly what NumPy's linspace gives, with no
// floating-point exception that NumPy would warn about (overflow, or an infinite or NaN end).
bool spacingIsExact(double first, double last);

// Fills `axis` with axis.size() values evenly spaced from `first` to `last`, both included, as
// NumPy's linspace computes them: value k is k * step + first with step = (last - first) / (n - 1),
// each operation rounded on its own, or (k / (n - 1)) * (last - first) + first when the step is 0
// (it underflowed); the last value is `last` itself. One value is 0 * (last - first) + first.
// A long axis asks the thread's interruption check as it goes: false when that stopped the work,
// the axis then filled only in part.
bool evenlySpaced(double first, double last, std::span<double> axis);

// The step loop of evenlySpaced, values[k] = k * step + first for k from `begin` to `end` (an
// index, 0 <= begin <= end, below 2^31), in each form this build has for it: the plain loop, and
// the same operations in vector registers. Every form gives the same values bit for bit: the index
// converts to double exactly, and each product and sum is rounded on its own, never fused.
enum class StepLoop : std::uint8_t { plain, sse2, avx2, neon };

// The forms that this build and this processor can run, the plain loop first and the one that
// evenlySpaced runs last.
std::span<const StepLoop> stepLoops();

void fillSteps(StepLoop loop, double first, double step, double* values, std::int32_t begin, std::int32_t end);

// Single-spectrum data block, at the block's offset:
//
//   offset  size       field
//   0       4 * count  values  little-endian IEEE 754 binary32, nothing before them
//
// How many of `count` values lie whole in the source from `offset` on (an offset >= 0).
std::int64_t storedValueCount(const ByteSource& source, std::int64_t offset, std::int64_t count);

// Turns values read as little-endian bytes into the host's order (nothing to do on most hosts).
void fromLittleEndian(std::span<float> values);

// Reads into.size() values from `offset` straight into `into`; returns how many were read, fewer
// only when the source has shrunk since it was measured.
Result<std::size_t> readValues(const ByteSource& source, std::int64_t offset, std::span<float> into);

}  // namespace korvex
