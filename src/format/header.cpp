// File header fields and the magic-number test.
#include "format/header.hpp"

#include <array>

namespace korvex {

Result<bool> isOpusFile(const ByteSource& source) {
    std::array<std::uint8_t, 4> bytes{};
    auto got = source.readHead(bytes.data(), bytes.size());
    if (!got.ok()) {
        return got.error();
    }
    if (got.value() != bytes.size()) {
        return Error::shortReadOf(4);
    }
    const auto bigEndian = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
    return static_cast<std::int32_t>(bigEndian) == magicNum;
}

FileHeader readFileHeader(Cursor& cursor) {
    cursor.position = 4;
    FileHeader header;
    header.versionNumber = readDouble(cursor);
    header.offsetToDirectory = readInt(cursor);
    header.maxDirSize = readInt(cursor);
    header.dirSize = readInt(cursor);
    return header;
}

}  // namespace korvex
