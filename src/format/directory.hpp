// The block directory: 12-byte entries from offsetToDirectory on.
#pragma once

#include <cstdint>
#include <optional>

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

// Walks the directory of a header in file order: dirSize entries (none when dirSize <= 0) from
// offsetToDirectory on, one at a time, in constant memory. The cursor's read-ahead window makes
// reading them field by field cheap.
//
// The walk stops at the end of the file: an entry whose 12 bytes are not all in the file (or that
// fails to read) is the last one given, its missing fields 0 with a report each in the cursor, so
// a damaged dirSize costs no more than the file's size.
class DirectoryWalk {
public:
    // Starts the walk; a negative offsetToDirectory is refused with EINVAL, as seeking there is.
    static Result<DirectoryWalk> start(Cursor& cursor, const FileHeader& header);

    // The next entry, or none once the walk is over.
    std::optional<DirectoryEntry> next();

private:
    DirectoryWalk(Cursor& cursor, std::int64_t remaining) : cursor_(cursor), remaining_(remaining) {}

    Cursor& cursor_;
    std::int64_t remaining_;  // entries still to give
};

}  // namespace korvex
