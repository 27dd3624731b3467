// The directory walk: entry by entry, up to the entry that the end of the file cuts.
#include "format/directory.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <span>

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
    DirectoryEntry entry;
    constexpr auto entryBytes = static_cast<std::size_t>(directoryEntrySize);
    const std::span<const std::uint8_t> ahead = cursor_.buffered();
    if (ahead.size() >= entryBytes) {
        // The window holds the whole entry: decoded in place, as the three reads would give it.
        entry.blockType = std::bit_cast<std::int32_t>(littleEndianAt<std::uint32_t>(ahead.data()));
        entry.sizeInWords = std::bit_cast<std::int32_t>(littleEndianAt<std::uint32_t>(ahead.data() + 4));
        entry.byteOffset = std::bit_cast<std::int32_t>(littleEndianAt<std::uint32_t>(ahead.data() + 8));
        cursor_.skip(entryBytes);
        if (cursor_.interrupted) {
            remaining_ = 0;
        }
        return entry;
    }
    const std::size_t failedBefore = cursor_.reports.size();
    entry.blockType = readInt(cursor_);
    entry.sizeInWords = readInt(cursor_);
    entry.byteOffset = readInt(cursor_);
    if (cursor_.reports.size() != failedBefore || cursor_.interrupted) {
        remaining_ = 0;
    }
    return entry;
}

}  // namespace korvex
