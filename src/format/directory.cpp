// The directory walk: whole entries in bulk, then the entry that the end of the file cuts.
#include "format/directory.hpp"

#include <algorithm>
#include <cerrno>

namespace korvex {

Result<DirectoryWalk> DirectoryWalk::start(Cursor& cursor, const FileHeader& header) {
    if (header.offsetToDirectory < 0) {
        return Error::fromSystem(EINVAL);
    }
    cursor.position = header.offsetToDirectory;
    const std::int64_t remaining = std::max<std::int32_t>(header.dirSize, 0);
    const std::int64_t left = std::max<std::int64_t>(cursor.source.size() - cursor.position, 0);
    return DirectoryWalk(cursor, remaining, std::min(remaining, left / directoryEntrySize));
}

// Reads the next batch of whole entries; false when there is none, or when the file delivered
// fewer bytes than its size promised (it shrank, or a read failed). The cursor then rests on the
// first entry not buffered.
bool DirectoryWalk::refill() {
    if (wholeLeft_ == 0) {
        return false;
    }
    const auto bytes = static_cast<std::size_t>(std::min(wholeLeft_, entriesPerRead) * directoryEntrySize);
    const auto got = cursor_.source.readAt(cursor_.position, buffer_.data(), bytes);
    if (!got.ok() || got.value() != bytes) {
        wholeLeft_ = 0;
        return false;
    }
    cursor_.position += static_cast<std::int64_t>(bytes);
    wholeLeft_ -= static_cast<std::int64_t>(bytes) / directoryEntrySize;
    buffered_ = bytes;
    at_ = 0;
    return true;
}

std::optional<DirectoryEntry> DirectoryWalk::next() {
    if (remaining_ == 0) {
        return std::nullopt;
    }
    --remaining_;
    if (at_ < buffered_ || refill()) {
        const std::uint8_t* entry = &buffer_[at_];
        at_ += directoryEntrySize;
        return DirectoryEntry{decodeInt(entry), decodeInt(entry + 4), decodeInt(entry + 8)};
    }
    // Field by field, each failed read reported. An entry that cannot be read in full reaches the
    // end of the file (or a failing device): the entries after it would only read as zeros, so it
    // is the last.
    const std::size_t failedBefore = cursor_.reports.size();
    DirectoryEntry entry;
    entry.blockType = readInt(cursor_);
    entry.sizeInWords = readInt(cursor_);
    entry.byteOffset = readInt(cursor_);
    if (cursor_.reports.size() != failedBefore) {
        remaining_ = 0;
    }
    return entry;
}

}  // namespace korvex
