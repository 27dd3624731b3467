// The contents listing: the data blocks a file holds, named by their data parameter blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/readers.hpp"
#include "format/result.hpp"

namespace korvex {

// One listed data block: its row of dataBlockDict, its extendType and its derivType (0 to 3), which
// name it as (dataBlockDict[dataBlockRow].name, dimensionName(extendType), listingDerivNames[derivType]).
struct ListedBlock {
    std::size_t dataBlockRow;
    std::int32_t extendType;
    std::int32_t derivType;
};

// Lists the data blocks of a file that begins with the magic number; the cursor's source is the
// file, and its reports collect the header's and directory's failed reads.
//
// Every directory entry with paramType 1 whose type has a name is listed; entries that share a
// code are listed once each. Types of the front set (AB, TR, REFL, ATR, PAS, RAM, KM, EMIS) come
// first, each new one before those already listed; every other type follows in directory order.
// The one error is a negative offsetToDirectory (EINVAL).
Result<std::vector<ListedBlock>> listContents(Cursor& cursor);

}  // namespace korvex
