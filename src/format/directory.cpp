// The directory walk.
#include "format/directory.hpp"

#include <algorithm>
#include <cerrno>

namespace korvex {

Result<std::vector<DirectoryEntry>> readDirectory(Cursor& cursor, const FileHeader& header) {
    if (header.offsetToDirectory < 0) {
        return Error::fromSystem(EINVAL);
    }
    cursor.position = header.offsetToDirectory;
    std::vector<DirectoryEntry> entries;
    if (header.dirSize <= 0) {
        return entries;
    }
    // Sized by what the file holds, never by dirSize alone.
    const std::int64_t left = std::max<std::int64_t>(cursor.source.size() - cursor.position, 0);
    entries.reserve(static_cast<std::size_t>(std::min<std::int64_t>(header.dirSize, left / directoryEntrySize + 1)));
    for (std::int32_t i = 0; i < header.dirSize; ++i) {
        const std::size_t failedBefore = cursor.reports.size();
        DirectoryEntry entry;
        entry.blockType = readInt(cursor);
        entry.sizeInWords = readInt(cursor);
        entry.byteOffset = readInt(cursor);
        entries.push_back(entry);
        // An entry that could not be read in full reaches the end of the file (or a failing
        // device): the entries after it would only read as zeros, so it is the last.
        if (cursor.reports.size() != failedBefore) {
            break;
        }
    }
    return entries;
}

}  // namespace korvex
