// The fixed 24-byte file header and the magic-number test.
#pragma once

#include <cstdint>

#include "format/byte_source.hpp"
#include "format/readers.hpp"

namespace korvex {

// The first four bytes, 0A 0A FE FE, read as a big-endian signed 32-bit integer.
inline constexpr std::int32_t magicNum = 168492798;

//   offset  size  field
//   0       4     magicNum           0A 0A FE FE (the one big-endian value)
//   4       8     versionNumber      binary64, not used
//   12      4     offsetToDirectory  absolute offset of the first directory entry
//   16      4     maxDirSize         not used
//   20      4     dirSize            number of directory entries
struct FileHeader {
    double versionNumber = 0.0;
    std::int32_t offsetToDirectory = 0;
    std::int32_t maxDirSize = 0;
    std::int32_t dirSize = 0;
};

// Whether four bytes, read big-endian as a signed 32-bit integer, are the magic number.
bool isMagic(const std::uint8_t (&bytes)[4]);

// Whether the source begins with the magic number. A source under four bytes is an Error of kind
// shortRead (width 4), as unpacking four bytes from it would be.
Result<bool> isOpusFile(const ByteSource& source);

// A source opened for a call on a file: the source itself when it begins with the magic number,
// else an Error of kind notOpusFile, or the magic test's own error (or the opening's).
// The magic test comes first, and a stream (a pipe, a FIFO) that passes it is then refused with an
// Error of kind notSeekable, as seeking to the header after the test is.
Result<ByteSource> requireMagic(Result<ByteSource> source);

// A source opened for a call on a file whose magic test has been made elsewhere: the source itself
// when it can be read at offsets, else an Error of kind notSeekable (or the opening's error).
Result<ByteSource> requireSeekable(Result<ByteSource> source);

// Reads the four fields after the magic, from offset 4 on; fields past the end read as 0 with a report.
FileHeader readFileHeader(Cursor& cursor);

}  // namespace korvex
