// File header fields and the magic-number test.
#include "format/header.hpp"

#include <utility>

namespace korvex {

bool isMagic(const std::uint8_t (&bytes)[4]) {
    const auto bigEndian = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
    return static_cast<std::int32_t>(bigEndian) == magicNum;
}

Result<bool> isOpusFile(const ByteSource& source) {
    std::uint8_t bytes[4] = {};
    auto got = source.readHead(bytes, sizeof bytes);
    if (!got.ok()) {
        return got.error();
    }
    if (got.value() != sizeof bytes) {
        return Error::shortReadOf(4);
    }
    return isMagic(bytes);
}

Result<ByteSource> requireMagic(Result<ByteSource> source) {
    if (!source.ok()) {
        return source;
    }
    auto magic = isOpusFile(source.value());
    if (!magic.ok()) {
        return magic.error();
    }
    if (!magic.value()) {
        return Error::notOpus();
    }
    return requireSeekable(std::move(source));
}

Result<ByteSource> requireSeekable(Result<ByteSource> source) {
    if (source.ok() && !source.value().seekable()) {
        return Error::notSeekableFile();
    }
    return source;
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
