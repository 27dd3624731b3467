// Unit tests of the parsing core, without Python: byte source, primitive readers, file header,
// block type codes, the directory walk and the request's directory scan.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

#include "extract/request.hpp"
#include "extract/values.hpp"
#include "format/block_type.hpp"
#include "format/byte_source.hpp"
#include "format/directory.hpp"
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
    CHECK(!shortSource.ok() && shortSource.error().kind == ErrorKind::shortRead && shortSource.error().value == 4);
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
    // No bytes to read: the buffer of an empty array may be null, and is not touched.
    CHECK(source.readAt(1, nullptr, 0).value() == 0);
    CHECK(readValues(source, 0, std::span<float>()).value() == 0);
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

// Parts of every kind: kept and dropped, empty, dropped runs longer than any drop buffer, and more
// parts than one system call takes. Each kept byte must be the source's byte at its place.
void scatteredReadsOf(const ByteSource& source, const Bytes& bytes) {
    Bytes into(bytes.size(), 0xEE);
    std::vector<ReadPart> parts;
    std::vector<std::size_t> keptAt;  // offset of each part from the read's start; SIZE_MAX when dropped
    std::size_t at = 3;
    std::size_t length = 0;
    for (std::size_t k = 0; at + length < bytes.size() + 20; ++k) {
        at += length;
        length = k % 3 == 1 ? (k % 300 == 1 ? 9000 : k % 5) : 1 + k % 11;
        const bool kept = k % 3 != 1;
        parts.push_back({kept ? into.data() + at : nullptr, length});
        if (at + length > bytes.size()) {
            break;  // the last part runs past the end of the source
        }
    }
    auto got = source.readParts(3, parts);
    CHECK(got.ok() && got.value() == bytes.size() - 3);
    bool same = true;
    for (const ReadPart& part : parts) {
        if (part.into != nullptr) {
            const auto from = static_cast<std::size_t>(part.into - into.data());
            for (std::size_t i = 0; i < part.count && from + i < bytes.size(); ++i) {
                same = same && into[from + i] == bytes[from + i];
            }
        }
    }
    CHECK(same);
    CHECK(into[0] == 0xEE && into[2] == 0xEE);  // before the read's start
    CHECK(parts.size() > 1100);
    CHECK(source.readParts(static_cast<std::int64_t>(bytes.size()), parts).value() == 0);
    CHECK(source.readParts(-1, parts).value() == 0);
}

void scatteredReads(const std::string& folder) {
    Bytes bytes(60000);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    scatteredReadsOf(ByteSource::fromMemory(bytes), bytes);
    const std::string path = folder + "/scattered.bin";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    auto source = ByteSource::open(path);
    CHECK(source.ok());
    if (source.ok()) {
        scatteredReadsOf(source.value(), bytes);
    }
    std::remove(path.c_str());
}

void appendInt(Bytes& bytes, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
}

// A header (version 0) with the given directory fields, then `directory` as its entries' ints.
Bytes fileWithDirectory(std::int32_t offsetToDirectory, std::int32_t dirSize, const std::vector<std::int32_t>& directory) {
    Bytes bytes = {0x0A, 0x0A, 0xFE, 0xFE, 0, 0, 0, 0, 0, 0, 0, 0};
    appendInt(bytes, offsetToDirectory);
    appendInt(bytes, 40);
    appendInt(bytes, dirSize);
    for (std::int32_t value : directory) {
        appendInt(bytes, value);
    }
    return bytes;
}

// Every entry the walk gives, in order.
Result<std::vector<DirectoryEntry>> readDirectory(Cursor& cursor, const FileHeader& header) {
    auto walk = DirectoryWalk::start(cursor, header);
    if (!walk.ok()) {
        return walk.error();
    }
    std::vector<DirectoryEntry> entries;
    while (const auto entry = walk.value().next()) {
        entries.push_back(*entry);
    }
    return entries;
}

bool fieldsAre(std::int32_t code, BlockTypeFields expected) {
    const BlockTypeFields got = decodeBlockType(code);
    return got.complexType == expected.complexType && got.sampleType == expected.sampleType &&
           got.paramType == expected.paramType && got.dataType == expected.dataType &&
           got.derivType == expected.derivType && got.extendType == expected.extendType;
}

void blockTypeFieldsOfWorkedCodes() {
    CHECK(fieldsAre(0x1010, {0, 0, 1, 4, 0, 0}));
    CHECK(fieldsAre(0x1000, {0, 0, 0, 4, 0, 0}));
    CHECK(fieldsAre(0x501010, {0, 0, 1, 4, 0, 10}));
    CHECK(fieldsAre(0x21010, {0, 0, 1, 4, 1, 0}));
    CHECK(fieldsAre(0x415, {1, 1, 1, 1, 0, 0}));
    CHECK(fieldsAre(-1, {3, 3, 63, 127, 3, 127}));
    CHECK(fieldsAre(static_cast<std::int32_t>(0x80001010u), {0, 0, 1, 4, 0, 0}));
    CHECK(fieldsAre(static_cast<std::int32_t>(0xFC000000u), {0, 0, 0, 0, 0, 0}));  // bits 26-31 only
}

void dataBlockNames() {
    const auto nameOf = [](std::int32_t code) -> std::string_view {
        const auto row = dataBlockIndex(decodeBlockType(code));
        return row ? dataBlockDict[*row].name : "";
    };
    CHECK(nameOf(0x3814) == "SPOW");
    CHECK(nameOf(0x3818) == "RPOW");
    CHECK(nameOf(0x381C).empty());
    CHECK(nameOf(0x3810).empty());
    CHECK(nameOf(0x415) == "SSC");
    CHECK(nameOf(0x1010) == "AB" && nameOf(0x100C) == "AB");  // sampleType does not matter for AB
    for (std::int32_t unnamed : {0, 8, 9, 13, 20, 127}) {
        CHECK(nameOf(unnamed << 10).empty());
    }
    // Every row names the codes made of its own dataType and sampleType, and only its own.
    for (std::size_t i = 0; i < dataBlockDict.size(); ++i) {
        const DataBlockType& row = dataBlockDict[i];
        const std::int32_t sampleType = row.sampleType == anySampleType ? 3 : row.sampleType;
        CHECK(dataBlockIndex(decodeBlockType(row.dataType << 10 | sampleType << 2)) == i);
    }
    CHECK(dimensionName(10) == "3D" && dimensionName(0) == "2D" && dimensionName(11) == "2D");
}

void directoryWalkStopsAtTheEndOfTheFile() {
    // dirSize 2^31-1, two whole entries and the first 6 bytes of a third.
    Bytes bytes = fileWithDirectory(24, 2147483647, {0x1010, 11, 100, 0x1000, 22, 200, 0x3814});
    bytes.push_back(7);
    bytes.push_back(0);
    const auto source = ByteSource::fromMemory(bytes);
    Cursor cursor(source);
    const auto directory = readDirectory(cursor, readFileHeader(cursor));
    CHECK(directory.ok() && directory.value().size() == 3);
    CHECK(directory.value()[1].blockType == 0x1000 && directory.value()[1].sizeInWords == 22 &&
          directory.value()[1].byteOffset == 200);
    CHECK(directory.value()[2].blockType == 0x3814 && directory.value()[2].sizeInWords == 0 &&
          directory.value()[2].byteOffset == 0);
    CHECK(reportsAre(cursor, {Reader::readInt, Reader::readInt}));

    // A directory that ends exactly at the end of the file: the entry after it is read as zeros.
    const Bytes exact = fileWithDirectory(24, 5, {0x1010, 1, 2});
    const auto exactSource = ByteSource::fromMemory(exact);
    Cursor exactCursor(exactSource);
    const auto exactDirectory = readDirectory(exactCursor, readFileHeader(exactCursor));
    CHECK(exactDirectory.value().size() == 2 && exactDirectory.value()[1].blockType == 0);
    CHECK(reportsAre(exactCursor, {Reader::readInt, Reader::readInt, Reader::readInt}));
}

void longDirectoryInFileOrder() {
    // More entries than the cursor's window holds, each with its own values.
    std::vector<std::int32_t> ints;
    for (std::int32_t i = 0; i < 2500; ++i) {
        ints.insert(ints.end(), {i, -i, 3 * i});
    }
    for (std::int32_t dirSize : {2500, 2049, 2147483647}) {
        const Bytes bytes = fileWithDirectory(24, dirSize, ints);
        const auto source = ByteSource::fromMemory(bytes);
        Cursor cursor(source);
        const auto directory = readDirectory(cursor, readFileHeader(cursor)).value();
        const std::size_t inFile = dirSize == 2147483647 ? 2500 : static_cast<std::size_t>(dirSize);
        bool inOrder = true;
        for (std::size_t i = 0; i < inFile; ++i) {
            const auto n = static_cast<std::int32_t>(i);
            inOrder = inOrder && directory[i].blockType == n && directory[i].sizeInWords == -n &&
                      directory[i].byteOffset == 3 * n;
        }
        CHECK(inOrder);
        if (dirSize == 2147483647) {  // then one entry of zeros past the end, and the walk stops
            CHECK(directory.size() == 2501 && directory[2500].blockType == 0);
            CHECK(reportsAre(cursor, {Reader::readInt, Reader::readInt, Reader::readInt}));
        } else {
            CHECK(directory.size() == inFile && cursor.reports.empty());
            CHECK(cursor.position == 24 + 12 * dirSize);
        }
    }
}

void directoryOfAFileThatShrinks(const std::string& folder) {
    const std::string path = folder + "/shrinking.bin";
    std::vector<std::int32_t> ints;
    for (std::int32_t i = 1; i <= 10; ++i) {
        ints.insert(ints.end(), {i, 0, 0});
    }
    const Bytes bytes = fileWithDirectory(24, 10, ints);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    auto source = ByteSource::open(path);
    CHECK(::truncate(path.c_str(), 24 + 12 * 3 + 6) == 0);  // after its size was taken
    Cursor cursor(source.value());
    const auto directory = readDirectory(cursor, readFileHeader(cursor)).value();
    CHECK(directory.size() == 4 && directory[2].blockType == 3 && directory[3].blockType == 4);
    CHECK(reportsAre(cursor, {Reader::readInt, Reader::readInt}));
    std::remove(path.c_str());
}

void directoryOffsetsAndSizes() {
    const auto walk = [](std::int32_t offsetToDirectory, std::int32_t dirSize, std::size_t reports) {
        const Bytes bytes = fileWithDirectory(offsetToDirectory, dirSize, {0x1010, 1, 2});
        const auto source = ByteSource::fromMemory(bytes);
        Cursor cursor(source);
        auto directory = readDirectory(cursor, readFileHeader(cursor));
        return directory.ok() && cursor.reports.size() == reports ? directory.value().size() : 999;
    };
    CHECK(walk(24, 0, 0) == 0);
    CHECK(walk(24, -5, 0) == 0);
    CHECK(walk(24, 1, 0) == 1);
    CHECK(walk(1000, 3, 3) == 1);  // past the end: one entry of zeros, then the walk stops
    CHECK(walk(2147483647, 2147483647, 3) == 1);

    const Bytes bytes = fileWithDirectory(-1, 0, {});
    const auto source = ByteSource::fromMemory(bytes);
    Cursor cursor(source);
    const auto negative = readDirectory(cursor, readFileHeader(cursor));
    CHECK(!negative.ok() && negative.error().kind == ErrorKind::system && negative.error().systemError == EINVAL);
}

// Reads through the cursor's window give exactly what reads of the source give, wherever they
// start and end: across refills, backwards, and past the end.
void cursorReadsMatchTheSource() {
    Bytes bytes(10000);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    const auto source = ByteSource::fromMemory(bytes);
    Cursor cursor(source);
    std::uint32_t state = 12345;
    int mismatches = 0;
    for (int i = 0; i < 5000; ++i) {
        state = state * 1103515245u + 12345u;
        // Every other read is a small one, as fields are, served from the cursor's windows.
        const auto count = static_cast<std::size_t>(state >> 16) % (i % 2 == 0 ? 5000 : 64);
        if (i % 3 == 0) {
            cursor.position = static_cast<std::int64_t>((state >> 8) % 10100);
        }
        const std::int64_t at = cursor.position;
        Bytes viaCursor(count + 1);
        Bytes direct(count + 1);
        const auto got = cursor.read(viaCursor.data(), count).value();
        const auto expected = source.readAt(at, direct.data(), count).value();
        if (got != expected || viaCursor != direct || cursor.position != at + static_cast<std::int64_t>(got)) {
            ++mismatches;
        }
    }
    CHECK(mismatches == 0);
}

// A file of entries (blockType, 0, byteOffset) with byteOffset = the entry's number, from 1.
BlockLocations located(const std::vector<std::int32_t>& codes, const BlockRequest& request) {
    std::vector<std::int32_t> ints;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        ints.insert(ints.end(), {codes[i], 0, static_cast<std::int32_t>(i + 1)});
    }
    const Bytes bytes = fileWithDirectory(24, static_cast<std::int32_t>(codes.size()), ints);
    const auto source = ByteSource::fromMemory(bytes);
    Cursor cursor(source);
    return locateBlocks(cursor, request).value();
}

bool offsetsAre(const BlockLocations& found, std::array<std::int64_t, 7> expected) {
    return std::array<std::int64_t, 7>{found.offsetToData,       found.offsetToParams,
                                       found.offsetToOriginalParams, found.offsetToAcqParams,
                                       found.offsetToInstParams,  found.offsetToSampleParams,
                                       found.offsetToFTParams} == expected;
}

void directoryScanOfWorkedCodes() {
    const BlockRequest ab2D{16, 0, 0};
    const BlockRequest ab3D{16, extendType3D, 0};
    const BlockRequest ab1DER{16, 0, 1};
    const BlockRequest ab3D1DER{16, extendType3D, 1};
    const BlockRequest ssc{18, 0, 0};
    const BlockRequest rsc{19, 0, 0};
    const std::vector<std::int32_t> common = {0x30, 0x20, 0x24, 0x28, 0xA0, 0x40};
    const auto with = [&](std::vector<std::int32_t> codes) {
        codes.insert(codes.end(), common.begin(), common.end());
        return codes;
    };
    // Entries 1 and 2 are the pair; 3 to 8 the acquisition, three instrument, sample and FT blocks.
    CHECK(offsetsAre(located(with({0x1000, 0x1010}), ab2D), {1, 2, -1, 3, 4, 7, 8}));
    CHECK(offsetsAre(located(with({0x501000, 0x501010}), ab3D), {1, 2, -1, 3, 4, 7, 8}));
    CHECK(offsetsAre(located(with({0x21000, 0x21010}), ab1DER), {1, 2, -1, 3, 4, 7, 8}));
    CHECK(offsetsAre(located(with({0x404, 0x414}), ssc), {1, 2, -1, 3, 5, 7, 8}));
    CHECK(offsetsAre(located(with({0x408, 0x418}), rsc), {1, 2, -1, 3, 6, 7, 8}));
    // The underived data parameters of the same kind, for a derived request only.
    CHECK(offsetsAre(located({0x21000, 0x21010, 0x1010, 0x501010}, ab1DER), {1, 2, 3, -1, -1, -1, -1}));
    CHECK(offsetsAre(located({0x521000, 0x521010, 0x1010, 0x501010}, ab3D1DER), {1, 2, 4, -1, -1, -1, -1}));
    CHECK(offsetsAre(located({0x1000, 0x1010, 0x21010}, ab2D), {1, 2, -1, -1, -1, -1, -1}));
    // Rule A takes an entry first even when it is neither data nor parameters.
    CHECK(offsetsAre(located({0x1030, 0x1000, 0x1010}, ab2D), {2, 3, -1, -1, -1, -1, -1}));
    // The last match wins, and nothing else matches: other extends, sample types and data types.
    CHECK(offsetsAre(located({0x1000, 0x1010, 0x601000, 0x601010, 0x1000, 0x1410, 0x30, 0x4000003F}, ab2D),
                     {5, 2, -1, 8, -1, -1, -1}));
    CHECK(offsetsAre(located({0x400, 0x410, 0x40C, 0x41C}, ssc), {-1, -1, -1, -1, -1, -1, -1}));
    CHECK(!located({0x1000}, ab2D).found() && located({0x1000, 0x1010}, ab2D).found());
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
    scatteredReads(folder);
    blockTypeFieldsOfWorkedCodes();
    dataBlockNames();
    directoryWalkStopsAtTheEndOfTheFile();
    longDirectoryInFileOrder();
    directoryOfAFileThatShrinks(folder);
    directoryOffsetsAndSizes();
    cursorReadsMatchTheSource();
    directoryScanOfWorkedCodes();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
