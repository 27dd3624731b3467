// Unit tests of the parsing core, without Python: byte source, primitive readers, file header.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "format/byte_source.hpp"
#include "format/header.hpp"
#include "format/readers.hpp"

using namespace korvex;

namespace {

int passed = 0;
int failed = 0;

void check(bool condition, const char* what, int line) {
    if (condition) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED line %d: %s\n", line, what);
    }
}

#define CHECK(condition) check((condition), #condition, __LINE__)

using Bytes = std::vector<std::uint8_t>;

bool reportsAre(const Cursor& cursor, std::vector<Reader> expected) {
    if (cursor.reports.size() != expected.size()) {
        return false;
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (cursor.reports[i].reader != expected[i] || cursor.reports[i].systemError != 0) {
            return false;
        }
    }
    return true;
}

void readersDecodeLittleEndianValues() {
    const Bytes bytes = {0xFF, 0xFF, 0xFF, 0xFF, 0x18, 0x00, 0x00, 0x00, 0x00, 0x80,
                         0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0};
    const auto source = ByteSource::fromMemory(bytes);
    Cursor cursor(source);
    CHECK(readInt(cursor) == -1);
    CHECK(readInt(cursor) == 24);
    CHECK(readShort(cursor) == -32768);
    CHECK(readDouble(cursor) == 1.0);
    CHECK(readDouble(cursor) == 0.0);
    CHECK(cursor.position == 26);
    CHECK(cursor.reports.empty());
}

void shortReadsYieldZeroAndAReportEach() {
    const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    const auto source = ByteSource::fromMemory(bytes);
    Cursor cursor(source, 4);
    CHECK(readInt(cursor) == 0);  // two bytes left
    CHECK(cursor.position == 6);
    CHECK(readInt(cursor) == 0);
    CHECK(readDouble(cursor) == 0.0);
    CHECK(readShort(cursor) == 0);
    CHECK(cursor.position == 6);
    CHECK(reportsAre(cursor, {Reader::readInt, Reader::readInt, Reader::readDouble, Reader::readShort}));
    CHECK(widthOf(Reader::readInt) == 4 && widthOf(Reader::readDouble) == 8 && widthOf(Reader::readShort) == 2);

    Cursor beyond(source, 1000);  // a seek past the end leaves the position where it is
    CHECK(readInt(beyond) == 0);
    CHECK(beyond.position == 1000);
    CHECK(reportsAre(beyond, {Reader::readInt}));
}

void headerOfTheMagicAloneReadsAsZeros() {
    const Bytes bytes = {0x0A, 0x0A, 0xFE, 0xFE};
    const auto source = ByteSource::fromMemory(bytes);
    Cursor cursor(source);
    const FileHeader header = readFileHeader(cursor);
    CHECK(header.versionNumber == 0.0 && header.offsetToDirectory == 0 && header.maxDirSize == 0 &&
          header.dirSize == 0);
    CHECK(reportsAre(cursor, {Reader::readDouble, Reader::readInt, Reader::readInt, Reader::readInt}));
}

void headerFieldsAtTheirOffsets() {
    Bytes bytes = {0x0A, 0x0A, 0xFE, 0xFE, 0, 0, 0, 0, 0x5C, 0x18, 0x2C, 0x41,  // 920622.0
                   24, 0, 0, 0, 40, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F};
    const auto source = ByteSource::fromMemory(bytes);
    Cursor cursor(source);
    const FileHeader header = readFileHeader(cursor);
    CHECK(header.versionNumber == 920622.0);
    CHECK(header.offsetToDirectory == 24 && header.maxDirSize == 40 && header.dirSize == 2147483647);
    CHECK(cursor.reports.empty() && cursor.position == 24);
}

void magicTest() {
    const Bytes magic = {0x0A, 0x0A, 0xFE, 0xFE, 0x00};
    const Bytes reversed = {0xFE, 0xFE, 0x0A, 0x0A};
    const Bytes three = {0x0A, 0x0A, 0xFE};
    CHECK(isOpusFile(ByteSource::fromMemory(magic)).value() == true);
    CHECK(isOpusFile(ByteSource::fromMemory(reversed)).value() == false);
    const auto shortSource = isOpusFile(ByteSource::fromMemory(three));
    CHECK(!shortSource.ok() && shortSource.error().kind == ErrorKind::shortRead && shortSource.error().byteCount == 4);
}

void readAtStaysInsideTheSource() {
    const Bytes bytes = {1, 2, 3, 4};
    const auto source = ByteSource::fromMemory(bytes);
    std::uint8_t into[8] = {};
    CHECK(source.readAt(-1, into, 4).value() == 0);
    CHECK(source.readAt(4, into, 4).value() == 0);
    CHECK(source.readAt(std::numeric_limits<std::int64_t>::max(), into, 4).value() == 0);
    CHECK(source.readAt(2, into, std::numeric_limits<std::size_t>::max()).value() == 2);
    CHECK(into[0] == 3 && into[1] == 4);
}

void openReportsSystemErrors(const std::string& folder) {
    const auto missing = ByteSource::open(folder + "/no such file");
    CHECK(!missing.ok() && missing.error().kind == ErrorKind::system && missing.error().systemError == ENOENT);
    const auto directory = ByteSource::open(folder);
    CHECK(!directory.ok() && directory.error().systemError == EISDIR);
}

void fileSourceReadsWhatTheFileHolds(const std::string& folder) {
    const std::string path = folder + "/source.bin";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const Bytes bytes = {0x0A, 0x0A, 0xFE, 0xFE, 0x18, 0x00};
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    auto source = ByteSource::open(path);
    CHECK(source.ok() && source.value().size() == 6);
    CHECK(isOpusFile(source.value()).value() == true);
    Cursor cursor(source.value(), 4);
    CHECK(readInt(cursor) == 0 && cursor.position == 6 && reportsAre(cursor, {Reader::readInt}));
    std::remove(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : ".";
    readersDecodeLittleEndianValues();
    shortReadsYieldZeroAndAReportEach();
    headerOfTheMagicAloneReadsAsZeros();
    headerFieldsAtTheirOffsets();
    magicTest();
    readAtStaysInsideTheSource();
    openReportsSystemErrors(folder);
    fileSourceReadsWhatTheFileHolds(folder);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
