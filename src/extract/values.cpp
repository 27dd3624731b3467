// NumPy's linspace, value for value, and reading float32 values straight into their array.
#include "extract/values.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "format/interruption.hpp"

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
        // A 32-bit index converts to double in vector instructions; the sums are the same.
        filled = inStretches(count, [&](std::size_t begin, std::size_t end) {
            fromSteps(first, step, values, static_cast<std::int32_t>(begin), static_cast<std::int32_t>(end));
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
