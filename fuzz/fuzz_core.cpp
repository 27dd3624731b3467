// Fuzz target of the parsing core: one input is one file, read from memory as the module reads a
// file object's bytes. It runs the core as the module's functions do, without Python (see
// core_calls.hpp): the magic test, the listing, and getOpusData's plans and reads for each listed
// block and for a few more requests, with arrays in place of the NumPy arrays the module makes.
//
// Which further request is made comes from the file itself: bytes 4 and 5, the start of
// versionNumber, which reading never uses. So every input is a plain file that the module's
// functions can be given as it is.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "core_calls.hpp"

using namespace korvex;

namespace {

constexpr calls::ArrayLimits limits{std::int64_t{32} << 20, std::int64_t{64} << 10, 16};

// Drops what the calls return, but for one check: a source in memory never shrinks, so a spectrum
// reads every value it measured.
struct Discard {
    template <typename... Values>
    void operator()(std::string_view /*what*/, const Values&... /*values*/) {}

    void operator()(std::string_view /*what*/, const Result<std::size_t>& read, std::int64_t stored,
                    std::span<const float> /*values*/) {
        if (read.ok() && read.value() != static_cast<std::size_t>(stored)) {
            std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto open = [&]() -> Result<ByteSource> { return ByteSource::fromMemory({data, size}); };
    Discard sink;
    calls::runCalls(open, limits, sink);
    return 0;
}
