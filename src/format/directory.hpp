// The block directory: 12-byte entries from offsetToDirectory on.
#pragma once

#include <cstdint>
#include <vector>

#include "format/header.hpp"
#include "format/readers.hpp"
#include "format/result.hpp"

namespace korvex {

//   offset  size  field
//   0       4     blockType    block type code (see block_type.hpp)
//   4       4     sizeInWords  not used
//   8       4     byteOffset   absolute offset of the block's contents
struct DirectoryEntry {
    std::int32_t blockType = 0;
    std::int32_t sizeInWords = 0;
    std::int32_t byteOffset = 0;
};

inline constexpr std::int64_t directoryEntrySize = 12;

// Reads the directory of `header` in file order: dirSize entries (none when dirSize <= 0) starting
// at offsetToDirectory. The walk stops at the end of the file: an entry whose 12 bytes are not all
// in the file (or that fails to read) is the last one read, its missing fields 0 with a report
// each, so a damaged dirSize costs no more than the file's size. A negative offsetToDirectory is refused with EINVAL, as
// seeking there is.
Result<std::vector<DirectoryEntry>> readDirectory(Cursor& cursor, const FileHeader& header);

}  // namespace korvex
