// Request resolution: the block triple's codes and the one directory scan that locates the blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "format/readers.hpp"
#include "format/result.hpp"

namespace korvex {

// derivDict: the request side's derivative names; the index is the derivType code.
inline constexpr std::array<std::string_view, 4> derivDict = {"NONE", "1DER", "2DER", "NDER"};

// A validated block triple, as codes.
struct BlockRequest {
    std::size_t dataBlockRow;
    std::int32_t extendType;  // 0 for "2D", extendType3D for "3D"
    std::int32_t derivType;   // index in derivDict
};

// Offsets marking a block that was not found (a stored byteOffset of -1 reads the same).
inline constexpr std::int64_t notFound = -1;

// Byte offsets found by the directory scan, each that of the last matching entry.
struct BlockLocations {
    std::int64_t offsetToData = notFound;            // the requested data block
    std::int64_t offsetToParams = notFound;          // its data parameter block
    std::int64_t offsetToOriginalParams = notFound;  // data parameter block of the underived data of its kind
    std::int64_t offsetToAcqParams = notFound;
    std::int64_t offsetToInstParams = notFound;
    std::int64_t offsetToSampleParams = notFound;
    std::int64_t offsetToFTParams = notFound;

    // Whether the request can be answered: the data block and its data parameter block both exist.
    bool found() const { return offsetToData != notFound && offsetToParams != notFound; }
};

// Reads the header and scans the directory once, stopping at the end of the file as the listing
// does. A negative offsetToDirectory is refused with EINVAL.
Result<BlockLocations> locateBlocks(Cursor& cursor, const BlockRequest& request);

}  // namespace korvex
