// The directory walk: entry by entry, up to the entry that the end of the file cuts.
#include "format/directory.hpp"

#include <algorithm>
#include <cerrno>

namespace korvex {

Result<DirectoryWalk> DirectoryWalk::start(Cursor& cursor, const FileHeader& header) {
    if (header.offsetToDirectory < 0) {
        return Error::fromSystem(EINVAL);
    }
    cursor.position = header.offsetToDirectory;
    return DirectoryWalk(cursor, std::max<std::int32_t>(header.dirSize, 0));
}

std::optional<DirectoryEntry> DirectoryWalk::next() {
    if (remaining_ == 0) {
        return std::nullopt;
    }
    --remaining_;
    // An entry that cannot be read in full reaches the end of the file (or a failing device), or
    // was interrupted: the entries after it would only read as zeros, so it is the last.
    const std::size_t failedBefore = cursor_.reports.size();
    DirectoryEntry entry;
    entry.blockType = readInt(cursor_);
    entry.sizeInWords = readInt(cursor_);
    entry.byteOffset = readInt(cursor_);
    if (cursor_.reports.size() != failedBefore || cursor_.interrupted) {
        remaining_ = 0;
    }
    return entry;
}

}  // namespace korvex
