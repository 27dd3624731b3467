// Unit tests of the parsing core, without Python: byte source, primitive readers, file header,
// block type codes, the directory walk, the request's directory scan, parameter blocks, axes and
// values, map cubes, trace maps and the plans of a result.
#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
#else
#include <csignal>
#include <sys/stat.h>
#include <sys/time.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include "extract/assembly.hpp"
#include "extract/maps.hpp"
#include "extract/parameters.hpp"
#include "extract/request.hpp"
#include "extract/transpose.hpp"
#include "extract/values.hpp"
#include "format/block_type.hpp"
#include "format/checked.hpp"
#include "format/byte_source.hpp"
#include "format/contents.hpp"
#include "format/directory.hpp"
#include "format/header.hpp"
#include "format/interruption.hpp"
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

#if defined(_WIN32)
constexpr bool onWindows = true;
#else
constexpr bool onWindows = false;
#endif

// Each path gets the errno that the interpreter's open() gets for it on this system.
void openReportsSystemErrors(const std::string& folder) {
    struct Case {
        const char* what;
        std::string path;
        int error;
    };
    const std::vector<Case> cases = {
        {"missing file", folder + "/no such file", ENOENT},
        {"missing folder", folder + "/no such folder/file", ENOENT},
        // Windows refuses to open a directory as a file: PermissionError 13 from open() there.
        {"directory", folder, onWindows ? EACCES : EISDIR},
        // A path that is not UTF-8 has no wide form on Windows; elsewhere it is a name like any other.
        {"not UTF-8", folder + "/\xFF\xFE.bin", onWindows ? EILSEQ : ENOENT},
        {"overlong UTF-8", folder + "/\xC0\xAE.bin", onWindows ? EILSEQ : ENOENT},
        {"UTF-8 cut short", folder + "/a\xE6\x97", onWindows ? EILSEQ : ENOENT},
        {"past U+10FFFF", folder + "/\xF4\x90\x80\x80.bin", onWindows ? EILSEQ : ENOENT},
        // A surrogate without its pair, as the interpreter passes a Windows name on: a name that
        // Windows may hold, so a missing file like any other.
        {"lone surrogate", folder + "/x\xED\xA0\x80y.bin", ENOENT},
        // ERROR_INVALID_NAME, which the C runtime's table leaves to its default, EINVAL.
        {"a name Windows refuses", folder + "/a<b", onWindows ? EINVAL : ENOENT},
    };
    for (const Case& test : cases) {
        const auto opened = ByteSource::open(test.path);
        check(!opened.ok() && opened.error().kind == ErrorKind::system && opened.error().systemError == test.error,
              test.what, __LINE__);
    }
#if defined(_WIN32)
    // A file another handle holds with no sharing: ERROR_SHARING_VIOLATION, EACCES as from open().
    const std::wstring locked = std::filesystem::path(folder + "/locked.bin").wstring();
    HANDLE holder = CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(holder != INVALID_HANDLE_VALUE);
    const auto shared = ByteSource::open(folder + "/locked.bin");
    CHECK(!shared.ok() && shared.error().systemError == EACCES);
    CloseHandle(holder);
    DeleteFileW(locked.c_str());
#endif
}

void fileSourceReadsWhatTheFileHolds(const std::string& folder) {
    const std::string path = folder + "/source.bin";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const Bytes bytes = {0x0A, 0x0A, 0xFE, 0xFE, 0x18, 0x00};
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    auto source = ByteSource::open(path);
    CHECK(source.ok() && source.value().size() == 6);
    // A read at an offset first: the magic test still reads from the start (a Windows read at an
    // offset moves the file's position).
    std::uint8_t two[2] = {};
    CHECK(source.value().readAt(4, two, 2).value() == 2 && two[0] == 0x18);
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

// A file named in UTF-8 beyond ASCII, past U+FFFF too: on Windows the name is opened by its UTF-16
// form, a surrogate pair for the last character.
void nonAsciiFileName(const std::string& folder) {
    const std::u8string name = u8"gr\u00fc\u00dfe \u03bb \u65e5\u672c \U0001F52C.bin";
    const std::filesystem::path path = std::filesystem::path(folder) / name;
    const Bytes bytes = {0x0A, 0x0A, 0xFE, 0xFE, 7};
    {
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    auto source = ByteSource::open(folder + "/" + std::string(name.begin(), name.end()));
    std::uint8_t last = 0;
    CHECK(source.ok() && source.value().size() == 5 && source.value().readAt(4, &last, 1).value() == 1 && last == 7);
    std::filesystem::remove(path);
}

// The null device has no size and is read as a stream: no bytes, so too few for the magic test.
void nullDeviceReadsAsAStream() {
    auto source = ByteSource::open(onWindows ? "NUL" : "/dev/null");
    CHECK(source.ok() && source.value().size() == 0);
    if (source.ok()) {
        std::uint8_t head[4];
        CHECK(source.value().readHead(head, 4).value() == 0);
        const auto magic = isOpusFile(source.value());
        CHECK(!magic.ok() && magic.error().kind == ErrorKind::shortRead);
    }
}

template <typename T>
bool isNotSeekable(const Result<T>& result) {
    return !result.ok() && result.error().kind == ErrorKind::notSeekable;
}

// A pipe is a stream: its first bytes answer the magic test, and every read at an offset fails as
// not seekable, never as a short or an empty read; a cursor's read adds no report, and the listing
// over it ends with that error. Opened by a path that names the pipe (where /dev/fd has one), and
// borrowed by its descriptor (its HANDLE on Windows), which the source leaves open.
void pipesAreNotSeekable() {
    // The magic number four times over: each source reads it twice (its head, then requireMagic).
    constexpr std::uint8_t magic[4] = {0x0A, 0x0A, 0xFE, 0xFE};
    Bytes bytes(16);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = magic[i % 4];
    }
    const auto checkStream = [&](Result<ByteSource> opened) {
        CHECK(opened.ok() && !opened.value().seekable());
        if (!opened.ok()) {
            return;
        }
        const ByteSource& source = opened.value();
        std::uint8_t head[4] = {};
        CHECK(source.readHead(head, 4).value() == 4 && isMagic(head));
        std::uint8_t byte = 0;
        CHECK(isNotSeekable(source.readAt(4, &byte, 1)));
        const std::array<ReadPart, 1> parts = {{{&byte, 1}}};
        CHECK(isNotSeekable(source.readParts(4, parts)));
        std::vector<ReadReport> reports;
        CHECK(isNotSeekable(readOnNewCursor(source, reports, [](Cursor& cursor) { return listContents(cursor); })));
        CHECK(reports.empty());
        CHECK(isNotSeekable(requireMagic(std::move(opened))));
    };
#if defined(_WIN32)
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CHECK(CreatePipe(&readEnd, &writeEnd, nullptr, 0) != 0);
    DWORD written = 0;
    CHECK(WriteFile(writeEnd, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
          written == bytes.size());
    CloseHandle(writeEnd);
    checkStream(ByteSource::borrow(reinterpret_cast<std::intptr_t>(readEnd)));
    CHECK(CloseHandle(readEnd) != 0);  // still open: the source did not close it
#else
    int ends[2];
    CHECK(pipe(ends) == 0);
    CHECK(write(ends[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    close(ends[1]);
    const std::string named = "/dev/fd/" + std::to_string(ends[0]);
    if (std::filesystem::exists(named)) {
        checkStream(ByteSource::open(named));
    }
    checkStream(ByteSource::borrow(ends[0]));
    CHECK(close(ends[0]) == 0);  // still open: the source did not close it
#endif
}

// A file borrowed by its descriptor is read at offsets: the descriptor's own position plays no part.
void borrowedFileReadsAtOffsets(const std::string& folder) {
    const std::string path = folder + "/borrowed.bin";
    {
        std::ofstream file(path, std::ios::binary);
        file.write("\x0A\x0A\xFE\xFE\x07\x08", 6);
    }
#if defined(_WIN32)
    const HANDLE handle = CreateFileW(std::filesystem::path(path).wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = 6;
    SetFilePointerEx(handle, end, nullptr, FILE_BEGIN);
    const auto native = reinterpret_cast<std::intptr_t>(handle);
#else
    const int descriptor = ::open(path.c_str(), O_RDONLY);
    lseek(descriptor, 6, SEEK_SET);
    const auto native = static_cast<std::intptr_t>(descriptor);
#endif
    {
        auto source = ByteSource::borrow(native);
        CHECK(source.ok() && source.value().seekable() && source.value().size() == 6);
        std::uint8_t two[2] = {};
        CHECK(source.ok() && source.value().readAt(4, two, 2).value() == 2 && two[0] == 7 && two[1] == 8);
        CHECK(source.ok() && requireSeekable(std::move(source)).ok());
    }
#if defined(_WIN32)
    CHECK(CloseHandle(handle) != 0);
#else
    CHECK(close(descriptor) == 0);
#endif
    std::remove(path.c_str());
}

// Writes `bytes` at `offset` of a new file that holds nothing else, without writing the zeros before
// them: a sparse file, where the system has them.
bool writeSparse(const std::string& path, std::int64_t offset, const Bytes& bytes) {
#if defined(_WIN32)
    const std::wstring wide = std::filesystem::path(path).wstring();
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD ignored = 0;
    // Without this NTFS would write out every zero before the offset.
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = offset;
    DWORD written = 0;
    const bool done = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
                      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                      written == bytes.size();
    CloseHandle(file);
    return done;
#else
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
#endif
}

// A file past 4 GiB: sizes and offsets beyond 32 bits, for single and scattered reads.
void offsetsPastFourGiB(const std::string& folder) {
    const std::string path = folder + "/past-4-GiB.bin";
    constexpr std::int64_t fourGiB = std::int64_t{1} << 32;
    Bytes tail(64);
    for (std::size_t i = 0; i < tail.size(); ++i) {
        tail[i] = static_cast<std::uint8_t>(0x40 + i);
    }
    // Bytes 4 GiB - 32 to 4 GiB + 32: a high half that a 32-bit offset would turn into 4 GiB less.
    if (!writeSparse(path, fourGiB - 32, tail)) {
        std::printf("NOTE: offsetsPastFourGiB skipped: no file of 4 GiB could be made in %s\n", folder.c_str());
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        return;
    }
    // In a scope of its own: Windows deletes no file while it is open.
    if (auto source = ByteSource::open(path); !source.ok()) {
        check(false, "open a file past 4 GiB", __LINE__);
    } else {
        CHECK(source.value().size() == fourGiB + 32);
        const ByteSource& file = source.value();
        Bytes read(16, 0);
        CHECK(file.readAt(fourGiB + 8, read.data(), 16).value() == 16 && read[0] == 0x40 + 40 && read[15] == 0x40 + 55);
        CHECK(file.readAt(fourGiB + 24, read.data(), 16).value() == 8 && read[7] == 0x40 + 63);
        CHECK(file.readAt(8, read.data(), 1).value() == 1 && read[0] == 0);  // a zero of the hole
        // Kept, dropped and kept again, across the 4 GiB line and past the end.
        Bytes first(20, 0);
        Bytes second(30, 0);
        const std::vector<ReadPart> parts = {{first.data(), 20}, {nullptr, 20}, {second.data(), 30}};
        CHECK(file.readParts(fourGiB - 36, parts).value() == 68);
        CHECK(first[3] == 0 && first[4] == 0x40 && first[19] == 0x40 + 15 && second[0] == 0x40 + 36 &&
              second[27] == 0x40 + 63 && second[28] == 0);
        std::uint8_t head[4] = {1, 1, 1, 1};
        CHECK(file.readHead(head, 4).value() == 4 && head[0] == 0 && head[3] == 0);
    }
    std::filesystem::remove(path);
}

// The overflow checks of the compiler's builtins and of the plain C++ ones agree, at the edges.
void checkedArithmetic() {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    const std::vector<std::int64_t> edges = {0, 1, -1, 2, -2, 3, 3037000499, 3037000500, -3037000500,
                                             max / 2, max / 2 + 1, min / 2, min / 2 - 1, max - 1, max, min + 1, min};
    int disagreements = 0;
    for (const std::int64_t a : edges) {
        for (const std::int64_t b : edges) {
            std::int64_t sum = 7, portableSum = 7, product = 7, portableProduct = 7;
            const bool added = checkedAdd(a, b, sum);
            const bool multiplied = checkedMul(a, b, product);
            if (added != portable::checkedAdd(a, b, portableSum) || sum != portableSum ||
                multiplied != portable::checkedMul(a, b, portableProduct) || product != portableProduct ||
                (!added && sum != 7) || (!multiplied && product != 7)) {
                ++disagreements;
            }
        }
    }
    CHECK(disagreements == 0);
    std::int64_t result = 0;
    CHECK(checkedMul<std::int64_t>(3037000499, 3037000499, result) && result == 9223372030926249001);
    CHECK(!checkedMul<std::int64_t>(3037000500, 3037000500, result) && !checkedMul<std::int64_t>(-1, min, result));
    CHECK(checkedAdd<std::int64_t>(max, min, result) && result == -1 && !checkedAdd<std::int64_t>(max, 1, result));
    std::uint64_t unsignedResult = 0;
    CHECK(!portable::checkedMul<std::uint64_t>(std::uint64_t{1} << 32, std::uint64_t{1} << 32, unsignedResult) &&
          portable::checkedMul<std::uint64_t>(std::uint64_t{1} << 32, (std::uint64_t{1} << 32) - 1, unsignedResult) &&
          !portable::checkedAdd<std::uint64_t>(~std::uint64_t{0}, 1, unsignedResult));
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
    std::error_code resized;
    std::filesystem::resize_file(path, 24 + 12 * 3 + 6, resized);  // after its size was taken
    CHECK(!resized);
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

// Parameter records, as getParams reads them: a four-byte label, type, size in 2-byte units, value.
void appendShort(Bytes& bytes, std::int16_t value) {
    const auto bits = static_cast<std::uint16_t>(value);
    bytes.push_back(static_cast<std::uint8_t>(bits));
    bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
}

void appendDouble(Bytes& bytes, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (int shift = 0; shift < 64; shift += 8) {
        bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
}

void appendFloat(Bytes& bytes, float value) {
    appendInt(bytes, std::bit_cast<std::int32_t>(value));
}

void appendLabel(Bytes& bytes, std::string_view label) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes.push_back(i < label.size() ? static_cast<std::uint8_t>(label[i]) : 0);
    }
}

void intParameter(Bytes& bytes, std::string_view label, std::int32_t value) {
    appendLabel(bytes, label);
    appendShort(bytes, 0);
    appendShort(bytes, 2);
    appendInt(bytes, value);
}

void realParameter(Bytes& bytes, std::string_view label, double value) {
    appendLabel(bytes, label);
    appendShort(bytes, 1);
    appendShort(bytes, 4);
    appendDouble(bytes, value);
}

// A text of `units` 2-byte units, the text's bytes then NULs.
void textParameter(Bytes& bytes, std::string_view label, std::string_view text, std::int16_t units) {
    appendLabel(bytes, label);
    appendShort(bytes, 2);
    appendShort(bytes, units);
    for (std::size_t i = 0; i < 2 * static_cast<std::size_t>(std::max<std::int16_t>(units, 0)); ++i) {
        bytes.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
    }
}

void endParameters(Bytes& bytes) {
    appendLabel(bytes, "END");
}

std::string textOf(std::span<const std::uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

bool errorIs(const Error& error, ErrorKind kind, std::int64_t value) {
    return error.kind == kind && (kind == ErrorKind::system ? error.systemError == value : error.value == value);
}

ParameterList parametersOf(const Bytes& bytes, std::int64_t offset = 0) {
    const auto source = ByteSource::fromMemory(bytes);
    Cursor cursor(source);
    ParameterList list;
    CHECK(getParams(cursor, offset, list).ok());
    return list;
}

void parameterBlocks() {
    Bytes block;
    intParameter(block, "NPT", 8);
    realParameter(block, "FXV", -1.5);
    textParameter(block, "SNM", "abc", 3);
    textParameter(block, std::string_view("\0TX", 3), std::string_view("x\0yz", 4), 2);  // the label's leading NUL goes
    intParameter(block, "NPT", 9);
    endParameters(block);
    intParameter(block, "AFT", 1);  // after the end: not read
    const auto source = ByteSource::fromMemory(block);
    Cursor cursor(source);
    ParameterList list;
    auto read = getParams(cursor, 0, list);
    CHECK(read.ok() && read.value() == 5 && cursor.reports.empty());
    CHECK(valueOf(list, "NPT")->type == ParameterType::integer && valueOf(list, "NPT")->integer == 9);
    CHECK(valueOf(list, "FXV")->type == ParameterType::real && valueOf(list, "FXV")->real == -1.5);
    CHECK(list.records[2].type == ParameterType::text && textOf(list.textOf(list.records[2])) == "abc");
    CHECK(textOf(list.records[3].labelBytes()) == "TX" && textOf(list.textOf(list.records[3])) == "x");
    CHECK(!valueOf(list, "AFT") && !valueOf(list, "NP"));

    // Damaged blocks, each with the error it gets.
    struct Damaged {
        const char* what;
        Bytes bytes;
        std::int64_t offset;
        ErrorKind kind;
        std::int64_t value;
    };
    Bytes unknownType;
    appendLabel(unknownType, "NPT");
    appendShort(unknownType, 5);
    appendShort(unknownType, 0);
    Bytes noEnd;
    intParameter(noEnd, "NPT", 1);
    Bytes negativeText;
    textParameter(negativeText, "SNM", "", -1);
    Bytes notUtf8 = {0xFF, 0xFE, 'A', 'B'};
    const std::vector<Damaged> damaged = {
        {"type 5", unknownType, 0, ErrorKind::parameterType, 5},
        {"negative offset", block, -1, ErrorKind::system, EINVAL},
        {"no END", noEnd, 0, ErrorKind::unterminatedParameters, 0},
        {"negative text size", negativeText, 0, ErrorKind::unterminatedParameters, 0},
        {"label not UTF-8", notUtf8, 0, ErrorKind::parameterLabel, 0},
    };
    for (const Damaged& test : damaged) {
        const auto damagedSource = ByteSource::fromMemory(test.bytes);
        Cursor damagedCursor(damagedSource);
        ParameterList ignored;
        auto failed = getParams(damagedCursor, test.offset, ignored);
        check(!failed.ok() && errorIs(failed.error(), test.kind, test.value), test.what, __LINE__);
    }

    // An int value cut off by the end of the file reads as 0 with a report; the label after it cannot
    // be read.
    Bytes cut;
    appendLabel(cut, "NPT");
    appendShort(cut, 0);
    appendShort(cut, 2);
    cut.insert(cut.end(), {7, 0});
    const auto cutSource = ByteSource::fromMemory(cut);
    Cursor cutCursor(cutSource);
    ParameterList cutList;
    auto cutRead = getParams(cutCursor, 0, cutList);
    CHECK(!cutRead.ok() && reportsAre(cutCursor, {Reader::readInt}) && cutList.records.size() == 1 &&
          cutList.records[0].integer == 0);

    // The merge: the data parameters first, then the other blocks that exist, later records winning.
    Bytes file;
    intParameter(file, "NPT", 1);
    intParameter(file, "NPX", 2);
    endParameters(file);
    const auto acquisition = static_cast<std::int64_t>(file.size());
    intParameter(file, "NPT", 3);
    endParameters(file);
    const auto fileSource = ByteSource::fromMemory(file);
    Cursor fileCursor(fileSource);
    BlockLocations locations;
    locations.offsetToParams = 0;
    locations.offsetToAcqParams = acquisition;
    auto merged = mergeParameters(fileCursor, locations);
    CHECK(merged.ok() && valueOf(merged.value(), "NPT")->integer == 3 && valueOf(merged.value(), "NPX")->integer == 2);
    locations.offsetToAcqParams = notFound;
    auto dataOnly = mergeParameters(fileCursor, locations);
    CHECK(dataOnly.ok() && valueOf(dataOnly.value(), "NPT")->integer == 1);
}

// A block longer than the cursor's read-ahead window: records of each kind after a text that
// moves them across the window's end by one 2-byte unit at a time, so that each is split there at
// every place it can be (and one text longer than a window, which is read past it). Every
// placement reads the same records and leaves the cursor just after the END label.
void parameterRecordsAcrossTheWindow() {
    struct Expected {
        std::string label;
        ParameterType type;
        std::int32_t integer;
        double real;
        std::string text;
    };
    const std::string longText(5000, 'w');
    const std::vector<Expected> expected = {
        {"PAD", ParameterType::text, 0, 0.0, ""},  // its text is filled in below
        {"NPT", ParameterType::integer, -7, 0.0, ""},
        {"FXV", ParameterType::real, 0, -1.25e-300, ""},
        {"SNM", ParameterType::text, 0, 0.0, "Probe"},
        {"TX", ParameterType::text, 0, 0.0, "x"},
        {"EMP", ParameterType::text, 0, 0.0, ""},
        {"LONG", ParameterType::text, 0, 0.0, longText},
        {"NPT", ParameterType::integer, 123456789, 0.0, ""},
        {"LXV", ParameterType::real, 0, 4e3, ""},
    };
    for (std::size_t padding = 4000; padding < 4120; padding += 2) {
        const std::string pad(padding, 'p');
        Bytes block;
        textParameter(block, "PAD", pad, static_cast<std::int16_t>(padding / 2));
        intParameter(block, "NPT", -7);
        realParameter(block, "FXV", -1.25e-300);
        textParameter(block, "SNM", std::string_view("Probe\0junk", 10), 5);
        textParameter(block, std::string_view("\0TX\0", 4), std::string_view("x\0yz", 4), 2);
        textParameter(block, "EMP", "", 0);
        textParameter(block, "LONG", longText, static_cast<std::int16_t>(longText.size() / 2));
        intParameter(block, "NPT", 123456789);
        realParameter(block, "LXV", 4e3);
        const std::size_t end = block.size();
        endParameters(block);
        intParameter(block, "AFT", 1);
        for (const std::size_t before : {std::size_t{0}, std::size_t{1}}) {  // the block at an odd offset too
            Bytes file(before, 0xEE);
            file.insert(file.end(), block.begin(), block.end());
            const auto source = ByteSource::fromMemory(file);
            Cursor cursor(source);
            ParameterList list;
            auto read = getParams(cursor, static_cast<std::int64_t>(before), list);
            bool right = read.ok() && read.value() == expected.size() && list.records.size() == expected.size() &&
                         cursor.reports.empty() && cursor.position == static_cast<std::int64_t>(before + end + 4);
            for (std::size_t i = 0; right && i < expected.size(); ++i) {
                const ParameterRecord& record = list.records[i];
                const Expected& want = expected[i];
                right = textOf(record.labelBytes()) == want.label && record.type == want.type &&
                        record.integer == want.integer && record.real == want.real &&
                        textOf(list.textOf(record)) == (i == 0 ? pad : want.text);
            }
            check(right, ("records with " + std::to_string(padding) + " bytes before them").c_str(), __LINE__);
        }
    }
}

// Every form of the step loop gives what the plain loop gives, bit for bit: random ends of every
// magnitude (subnormal to 1e300, either sign, so steps both ways), counts that fill no whole
// vector, and stretches that start anywhere and at any alignment.
void stepLoopsBitForBit() {
    const std::span<const StepLoop> loops = stepLoops();
    CHECK(!loops.empty() && loops.front() == StepLoop::plain);
#if defined(__x86_64__) || defined(_M_X64)
    CHECK(std::find(loops.begin(), loops.end(), StepLoop::sse2) != loops.end());
#elif defined(__aarch64__) || defined(_M_ARM64)
    CHECK(std::find(loops.begin(), loops.end(), StepLoop::neon) != loops.end());
#endif
    std::mt19937_64 random(20240611);
    // A double of random sign and mantissa, its binary exponent from `lowest` to `highest`.
    const auto randomDouble = [&](int lowest, int highest) {
        const std::uint64_t bits = random();
        const auto exponent = static_cast<int>(bits % static_cast<std::uint64_t>(highest - lowest + 1)) + lowest;
        const double mantissa = 1.0 + static_cast<double>(random() >> 12) / 4503599627370496.0;
        const double value = std::ldexp(mantissa, exponent);
        return (bits >> 63) != 0 ? -value : value;
    };
    std::vector<double> plain(4200);
    std::vector<double> vector(4200);
    int differing = 0;
    for (int triple = 0; triple < 3000; ++triple) {
        const int scale = static_cast<int>(random() % 4);
        const auto [lowest, highest] = std::array<std::pair<int, int>, 4>{
            {{-60, 60}, {-1074, -1000}, {900, 996}, {-1074, 996}}}[static_cast<std::size_t>(scale)];
        const double first = randomDouble(lowest, highest);
        const double last = random() % 8 == 0 ? -first : randomDouble(lowest, highest);
        const auto count = static_cast<std::int32_t>(random() % 4097);
        const auto begin = static_cast<std::int32_t>(random() % 70 % (count + 1));
        const std::size_t shift = random() % 4;  // the values at 8-byte steps past an aligned start
        const double step = count > 1 ? (last - first) / static_cast<double>(count - 1) : last - first;
        double* into = plain.data() + shift;
        fillSteps(StepLoop::plain, first, step, into, begin, count);
        for (const StepLoop loop : loops) {
            std::fill(vector.begin(), vector.end(), -3.0);
            fillSteps(loop, first, step, vector.data() + shift, begin, count);
            const bool same = std::equal(into + begin, into + count, vector.data() + shift + begin,
                                         [](double a, double b) { return std::bit_cast<std::uint64_t>(a) ==
                                                                         std::bit_cast<std::uint64_t>(b); });
            const bool untouched = std::all_of(vector.begin(), vector.begin() + static_cast<std::ptrdiff_t>(shift) + begin,
                                               [](double value) { return value == -3.0; }) &&
                                   std::all_of(vector.begin() + static_cast<std::ptrdiff_t>(shift) + count, vector.end(),
                                               [](double value) { return value == -3.0; });
            differing += same && untouched ? 0 : 1;
        }
        // evenlySpaced runs the fastest form: each value k * step + first, the last one `last`.
        if (count > 1 && begin == 0 && step != 0.0) {
            std::vector<double> axis(static_cast<std::size_t>(count));
            evenlySpaced(first, last, axis);
            into[count - 1] = last;
            differing += std::equal(axis.begin(), axis.end(), into, [](double a, double b) {
                return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
            }) ? 0 : 1;
        }
    }
    CHECK(differing == 0);
}

void evenSpacingAndStoredValues() {
    struct Case {
        double first;
        double last;
        std::vector<double> expected;
    };
    const std::vector<Case> cases = {
        {0.0, 1.0, {0.0, 0.25, 0.5, 0.75, 1.0}},
        {10.0, 17.5, {10.0, 12.5, 15.0, 17.5}},
        {5.0, -1.0, {5.0, 2.0, -1.0}},
        {2.0, 2.0, {2.0, 2.0, 2.0}},  // a step of 0
        {3.0, 9.0, {3.0}},
        {1.0, 0.0, {}},
    };
    for (const Case& test : cases) {
        std::vector<double> axis(test.expected.size(), -7.0);
        evenlySpaced(test.first, test.last, axis);
        CHECK(axis == test.expected);
    }
    // Value k is k * step + first, each operation rounded, and the last value is `last` itself.
    std::vector<double> tenths(7);
    evenlySpaced(0.1, 0.7, tenths);
    const double step = (0.7 - 0.1) / 6;
    CHECK(tenths[6] == 0.7 && tenths[3] == 3.0 * step + 0.1 && tenths[5] == 5.0 * step + 0.1);
    const double inf = std::numeric_limits<double>::infinity();
    CHECK(spacingIsExact(-1e300, 1e300) && !spacingIsExact(0.0, 2e300) && !spacingIsExact(inf, 0.0) &&
          !spacingIsExact(0.0, std::nan("")));

    Bytes values;
    appendFloat(values, 1.0f);
    appendFloat(values, -2.5f);
    values.push_back(0x7F);  // not a whole value
    const auto source = ByteSource::fromMemory(values);
    CHECK(storedValueCount(source, 0, 5) == 2 && storedValueCount(source, 0, 1) == 1 &&
          storedValueCount(source, 4, 5) == 1 && storedValueCount(source, 8, 5) == 0 &&
          storedValueCount(source, 100, 5) == 0);
    std::vector<float> read(2);
    auto got = readValues(source, 0, read);
    CHECK(got.ok() && got.value() == 2 && read == std::vector<float>({1.0f, -2.5f}));
}

// A map block at offset 0: header (blockOffset just after the store table), store table, then
// `area`, the record area.
Bytes mapBlock(std::int32_t infoSize, const std::vector<std::pair<std::int32_t, std::int32_t>>& storeTable,
               const Bytes& area) {
    Bytes bytes;
    for (std::int32_t field : {1, 0, static_cast<std::int32_t>(24 + 8 * storeTable.size()), 0, infoSize,
                               static_cast<std::int32_t>(storeTable.size())}) {
        appendInt(bytes, field);
    }
    for (const auto& [first, second] : storeTable) {
        appendInt(bytes, first);
        appendInt(bytes, second);
    }
    bytes.insert(bytes.end(), area.begin(), area.end());
    return bytes;
}

// Records `first` to `first` + `count` - 1 of `npt` values, value j of record r being r * 100 + j,
// each followed by an info record of `infoSize` bytes of 0xEE.
Bytes records(std::int32_t count, std::int32_t npt, std::int32_t infoSize, std::int32_t first = 0) {
    Bytes bytes;
    for (std::int32_t r = first; r < first + count; ++r) {
        for (std::int32_t j = 0; j < npt; ++j) {
            appendFloat(bytes, static_cast<float>(r * 100 + j));
        }
        bytes.insert(bytes.end(), static_cast<std::size_t>(infoSize), 0xEE);
    }
    return bytes;
}

void mapCubes() {
    struct Case {
        const char* what;
        Bytes file;
        MapGeometry geometry;
        MapStop stop;
        std::int64_t record;
        std::vector<std::int32_t> placed;  // the record at each cube position, -1 for none
    };
    Bytes skipping = records(2, 2, 4);
    skipping.insert(skipping.end(), 100, 0xAB);
    const Bytes twoMore = records(2, 2, 4, 2);
    skipping.insert(skipping.end(), twoMore.begin(), twoMore.end());
    Bytes cutShort = records(2, 2, 0);
    cutShort.resize(cutShort.size() - 2);
    const std::vector<Case> cases = {
        {"six records in reading order", mapBlock(4, {{1, 6}}, records(6, 2, 4)), {2, 3, 2}, MapStop::none, 0,
         {0, 1, 2, 3, 4, 5}},
        {"a skip entry leaves no gap", mapBlock(4, {{1, 2}, {-1, 100}, {3, 4}}, skipping), {2, 3, 2}, MapStop::none,
         0, {0, 1, 2, 3, -1, -1}},
        {"an empty run and a run of one", mapBlock(0, {{5, 4}, {7, 7}}, records(1, 2, 0)), {2, 2, 1}, MapStop::none,
         0, {0, -1}},
        {"no entries", mapBlock(0, {}, records(1, 2, 0)), {2, 2, 1}, MapStop::none, 0, {-1, -1}},
        {"no columns", mapBlock(0, {{1, 1}}, records(1, 2, 0)), {2, 0, 1}, MapStop::zeroColumns, 0, {}},
        {"beyond the grid", mapBlock(0, {{1, 2}}, records(2, 2, 0)), {2, 1, 1}, MapStop::beyondGrid, 1, {0}},
        {"a record cut short", mapBlock(0, {{1, 2}}, cutShort), {2, 2, 1}, MapStop::shortRecord, 1, {0, -1}},
    };
    for (const Case& test : cases) {
        const auto source = ByteSource::fromMemory(test.file);
        const MapGeometry& geometry = test.geometry;
        std::vector<float> cube(static_cast<std::size_t>(geometry.npt * geometry.npx * geometry.npy), 0.0f);
        std::vector<ReadReport> reports;
        auto filled = readMapCube(source, 0, geometry, cube, reports);
        bool right = filled.ok() && filled.value().stop == test.stop && filled.value().record == test.record &&
                     reports.empty();
        for (std::size_t k = 0; right && k < test.placed.size(); ++k) {
            for (std::int64_t j = 0; j < geometry.npt; ++j) {
                const float expected = test.placed[k] < 0 ? 0.0f : static_cast<float>(test.placed[k] * 100 + j);
                right = right && cube[k * static_cast<std::size_t>(geometry.npt) + static_cast<std::size_t>(j)] == expected;
            }
        }
        check(right, test.what, __LINE__);
    }

    // A block that ends inside its header: zeros and a report for each int cut off, no entries.
    const Bytes header = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const auto headerSource = ByteSource::fromMemory(header);
    std::vector<float> cube(2, 5.0f);
    std::vector<ReadReport> reports;
    auto cut = readMapCube(headerSource, 0, {1, 2, 1}, cube, reports);
    CHECK(cut.ok() && cut.value().stop == MapStop::none && reports.size() == 4 && cube[0] == 5.0f);
    // A store table that claims more entries than the file holds is not read.
    Bytes claims = mapBlock(0, {{1, 1}}, {});
    claims[20] = 0xFF;
    claims[21] = 0xFF;
    const auto claimsSource = ByteSource::fromMemory(claims);
    auto pastEnd = readMapCube(claimsSource, 0, {1, 2, 1}, cube, reports);
    CHECK(!pastEnd.ok() && errorIs(pastEnd.error(), ErrorKind::storeTablePastEnd, 0));
    auto negative = readMapCube(claimsSource, -4, {1, 2, 1}, cube, reports);
    CHECK(!negative.ok() && errorIs(negative.error(), ErrorKind::system, EINVAL));
}

// Trace records of `npt` values (value j of record r: r * 100 + j), each with an info record of
// `infoSize` bytes whose name field holds the record's name.
Bytes traceRecords(std::int32_t npt, std::int32_t infoSize, const std::vector<std::string>& names) {
    Bytes bytes;
    for (std::size_t r = 0; r < names.size(); ++r) {
        for (std::int32_t j = 0; j < npt; ++j) {
            appendFloat(bytes, static_cast<float>(static_cast<std::int32_t>(r) * 100 + j));
        }
        Bytes info(static_cast<std::size_t>(infoSize), 0);
        for (std::size_t i = 0; i < names[r].size() && 152 + i < info.size(); ++i) {
            info[152 + i] = static_cast<std::uint8_t>(names[r][i]);
        }
        bytes.insert(bytes.end(), info.begin(), info.end());
    }
    return bytes;
}

void traceMaps() {
    using Kind = TraceMapsEnd::Kind;
    struct Case {
        const char* what;
        Bytes file;
        MapGeometry geometry;
        Kind kind;
        std::int64_t traces;
        std::int64_t detail;  // wrongCount: the values; shortRecord: the record
        std::vector<std::string> names;
    };
    const std::string noNul(48, 'n');
    Bytes cutTrace = traceRecords(8, 160, {"a", "b"});
    cutTrace.resize(8 * 4 + 160 + 3 * 4);  // three values of the second map
    Bytes pastTheEnd = mapBlock(0, {{1, 3}}, {});
    pastTheEnd[8] = 100;  // blockOffset: the records lie beyond the file
    const std::vector<Case> cases = {
        {"three named maps", mapBlock(200, {{1, 3}}, traceRecords(8, 200, {std::string("abc\0xyz", 7), "", noNul})),
         {8, 4, 2}, Kind::stacked, 3, 0, {"abc", "", noNul}},
        {"no names below 152 info bytes", mapBlock(100, {{1, 2}}, traceRecords(8, 100, {"ab", "cd"})), {8, 4, 2},
         Kind::stacked, 2, 0, {}},
        {"a map of the wrong size", mapBlock(152, {{1, 2}}, traceRecords(6, 152, {"a", "b"})), {6, 4, 2},
         Kind::wrongCount, 0, 6, {}},
        {"names before the failing record", mapBlock(160, {{1, 2}}, cutTrace), {8, 4, 2}, Kind::wrongCount, 1, 3,
         {"a"}},
        {"no record", mapBlock(152, {{-1, 0}}, {}), {8, 4, 2}, Kind::nothingToStack, 0, 0, {}},
        {"empty maps past the end", pastTheEnd, {0, 0, 2}, Kind::shortRecord, 0, 0, {}},
    };
    for (const Case& test : cases) {
        const auto source = ByteSource::fromMemory(test.file);
        const MapGeometry& geometry = test.geometry;
        std::vector<ReadReport> reports;
        auto planned = planTraceMaps(source, 0, geometry, reports);
        if (!planned.ok()) {
            check(false, test.what, __LINE__);
            continue;
        }
        const TraceMapsPlan& plan = planned.value();
        const std::int64_t traces = plan.traces();
        std::vector<float> stack(plan.stacks() ? static_cast<std::size_t>(geometry.npy * geometry.npx * traces) : 0);
        TraceNames names;
        const TraceMapsEnd end = readTraceMaps(source, plan, geometry, stack, names);
        bool right = traces == test.traces && end.kind == test.kind && reports.empty() &&
                     plan.stacks() == (test.kind == Kind::stacked);
        if (end.kind == Kind::wrongCount) {
            right = right && end.values == test.detail;
        } else if (end.kind == Kind::shortRecord) {
            right = right && end.record == test.detail;
        }
        std::vector<std::string> read;
        for (const TraceNames::Name& name : names.names) {
            read.insert(read.end(), static_cast<std::size_t>(name.recordCount), textOf(names.textOf(name)));
        }
        right = right && read == test.names;
        // stack[r, c, k] is value r * NPX + c of trace k.
        for (std::int64_t pixel = 0; right && !stack.empty() && pixel < geometry.npx * geometry.npy; ++pixel) {
            for (std::int64_t k = 0; k < traces; ++k) {
                right = right && stack[static_cast<std::size_t>(pixel * traces + k)] == static_cast<float>(k * 100 + pixel);
            }
        }
        check(right, test.what, __LINE__);
    }
}

// The walk takes a run of whole records in one step however long it is, then the record cut by the
// end of the file, then the rest of the run, which reads nothing, in one more: a million records
// cost three steps, and each step says where its records lie.
void recordWalkStepsOverRuns() {
    struct Step {
        std::int64_t valuesAt, values, infoLength, recordCount, stride;
        bool operator==(const Step&) const = default;
    };
    struct Case {
        const char* what;
        std::int64_t npt;
        std::int32_t infoSize;
        std::int64_t areaBytes;
        std::vector<Step> steps;
    };
    constexpr std::int64_t million = 1 << 20;
    constexpr std::int32_t claimed = 2147483647;  // records 1 to 2^31 - 1
    constexpr std::int64_t area = 32;             // the records' offset: after one store table entry
    const std::vector<Case> cases = {
        {"one-value records", 1, 0, 4 * million,
         {{area, 1, 0, million, 4}, {area + 4 * million, 0, 0, claimed - million, 0}}},
        {"records of a 1-byte info record", 0, 1, million,
         {{area, 0, 1, million, 1}, {area + million, 0, 0, claimed - million, 0}}},
        {"a record cut by the end", 2, 4, 10 * 12 + 6,
         {{area, 2, 4, 10, 12}, {area + 120, 1, 0, 1, 0}, {area + 126, 0, 0, claimed - 11, 0}}},
        {"info records to the end of the file", 1, -1, 100, {{area, 1, 96, 1, 0}, {area + 100, 0, 0, claimed - 1, 0}}},
    };
    for (const Case& test : cases) {
        const Bytes file = mapBlock(test.infoSize, {{1, claimed}}, Bytes(static_cast<std::size_t>(test.areaBytes), 0));
        const auto source = ByteSource::fromMemory(file);
        Cursor cursor(source);
        const MapBlock block = readMapBlock(cursor, 0).value();
        auto walk = RecordWalk::start(source, block, test.npt).value();
        std::vector<Step> steps;
        for (auto next = walk.next(); next.ok() && next.value() && steps.size() <= test.steps.size(); next = walk.next()) {
            const StoredRecord& record = *next.value();
            steps.push_back({record.valuesAt, record.values, record.infoLength, record.recordCount, record.stride});
        }
        check(steps == test.steps, test.what, __LINE__);
    }
}

// A file that shrinks after its records were counted: the first record cut short stops the read,
// whether its run is read as one part, copied out of a window, or read a map at a time.
void recordsOfAFileThatShrinks(const std::string& folder) {
    struct Case {
        const char* what;
        std::int32_t infoSize;
        bool traces;
    };
    const std::vector<Case> cases = {
        {"cube, records back to back", 0, false},
        {"cube, records with info records", 4, false},
        {"trace maps back to back", 0, true},
        {"trace maps with info records", 4, true},
    };
    const std::string path = folder + "/shrinking-records.bin";
    for (const Case& test : cases) {
        const Bytes bytes = mapBlock(test.infoSize, {{1, 100}}, records(100, 1, test.infoSize));
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        auto source = ByteSource::open(path);
        const MapGeometry geometry = test.traces ? MapGeometry{1, 1, 1} : MapGeometry{1, 10, 10};
        std::vector<ReadReport> reports;
        auto planned = planTraceMaps(source.value(), 0, geometry, reports);
        std::error_code resized;
        std::filesystem::resize_file(path, 32 + 10 * (4 + test.infoSize) + 2, resized);  // ten records and a half
        std::vector<float> values(100, 0.0f);
        bool right = !resized && planned.ok() && (!test.traces || planned.value().traces() == 100);
        if (test.traces) {
            TraceNames names;
            const TraceMapsEnd end = readTraceMaps(source.value(), planned.value(), geometry, values, names);
            right = right && end.kind == TraceMapsEnd::Kind::wrongCount && end.values == 0;
        } else {
            auto filled = readMapCube(source.value(), 0, geometry, values, reports);
            right = right && filled.ok() && filled.value().stop == MapStop::shortRecord && filled.value().record == 10;
        }
        for (std::size_t k = 0; k < 10; ++k) {
            right = right && values[k] == static_cast<float>(k * 100);
        }
        check(right, test.what, __LINE__);
    }
    std::remove(path.c_str());
}

// Trace maps of more values than a chunk, read a band of traces at a time, from a file that shrinks
// after they were counted: the first map cut short stops the read with the values it still has,
// wherever the cut falls (the second chunk of a map, a later band, the start of a map); a cut in the
// last info record leaves every map whole and the last name cut short.
void traceBandsOfAFileThatShrinks(const std::string& folder) {
    constexpr std::int32_t traces = 64;  // two bands
    constexpr std::int32_t infoSize = 200;
    const MapGeometry geometry{41 * 50, 50, 41};  // 2050 values a map: one chunk of 2048 and one of 2
    const auto npt = static_cast<std::int32_t>(geometry.npt);
    Bytes area;
    for (std::int32_t r = 0; r < traces; ++r) {
        for (std::int32_t j = 0; j < npt; ++j) {
            appendFloat(area, static_cast<float>(r * 10000 + j));
        }
        Bytes info(infoSize, 0);
        const std::string name = "trace " + std::to_string(r);
        std::copy(name.begin(), name.end(), info.begin() + 152);
        area.insert(area.end(), info.begin(), info.end());
    }
    const Bytes bytes = mapBlock(infoSize, {{1, traces}}, area);
    const std::int64_t recordArea = 32;
    const std::int64_t stride = std::int64_t{npt} * 4 + infoSize;
    const auto valuesAt = [&](std::int64_t r) { return recordArea + r * stride; };
    struct Case {
        const char* what;
        std::int64_t size;  // of the file once it shrank
        TraceMapsEnd::Kind kind;
        std::int64_t values;       // wrongCount: the values of the map cut short
        std::int64_t wholeTraces;  // traces whose maps are checked, value for value
        std::string lastName;
    };
    const std::vector<Case> cases = {
        {"in the second chunk of trace 5", valuesAt(5) + 2049 * 4 + 2, TraceMapsEnd::Kind::wrongCount, 2049, 0, ""},
        {"in the first chunk of trace 33, in the second band", valuesAt(33) + 100 * 4, TraceMapsEnd::Kind::wrongCount,
         100, 0, ""},
        {"at the start of trace 10", valuesAt(10), TraceMapsEnd::Kind::wrongCount, 0, 0, ""},
        {"in the name of the last trace", valuesAt(63) + std::int64_t{npt} * 4 + 152 + 3, TraceMapsEnd::Kind::stacked, 0,
         traces, "tra"},
    };
    const std::string path = folder + "/shrinking-traces.bin";
    for (const Case& test : cases) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        auto source = ByteSource::open(path);
        std::vector<ReadReport> reports;
        auto planned = planTraceMaps(source.value(), 0, geometry, reports);
        std::error_code resized;
        std::filesystem::resize_file(path, static_cast<std::uintmax_t>(test.size), resized);
        bool right = !resized && planned.ok() && planned.value().traces() == traces && planned.value().stacks();
        if (!right) {
            check(false, test.what, __LINE__);
            continue;
        }
        std::vector<float> stack(static_cast<std::size_t>(geometry.npt * traces));
        TraceNames names;
        const TraceMapsEnd end = readTraceMaps(source.value(), planned.value(), geometry, stack, names);
        right = end.kind == test.kind && (end.kind != TraceMapsEnd::Kind::wrongCount || end.values == test.values);
        for (std::int64_t pixel = 0; pixel < geometry.npt; ++pixel) {
            for (std::int64_t k = 0; k < test.wholeTraces; ++k) {
                right = right && stack[static_cast<std::size_t>(pixel * traces + k)] == static_cast<float>(k * 10000 + pixel);
            }
        }
        if (test.kind == TraceMapsEnd::Kind::stacked) {
            right = right && names.names.size() == traces;
            for (std::size_t k = 0; right && k < names.names.size(); ++k) {
                const auto text = names.textOf(names.names[k]);
                const std::string expected = k + 1 == traces ? test.lastName : "trace " + std::to_string(k);
                right = std::string(text.begin(), text.end()) == expected && names.names[k].recordCount == 1;
            }
        }
        check(right, test.what, __LINE__);
    }
    std::remove(path.c_str());
}

// The transpose against its definition, on every shape up to 20 maps by 20 pixels (so every block
// size and every edge), with the run-time choice and without it: each value lands at its place and
// nothing is written beside the maps of a pixel.
void transposeShapes() {
    constexpr std::int64_t most = 20;
    constexpr std::size_t mapStride = most + 3;
    constexpr std::size_t pixelStride = most + 5;
    std::vector<float> from(mapStride * most);
    for (std::size_t i = 0; i < from.size(); ++i) {
        from[i] = static_cast<float>(i);
    }
    std::int64_t wrong = 0;
    for (const auto transpose : {&transposeMaps, &transposeMapsPortable}) {
        for (std::int64_t maps = 1; maps <= most; ++maps) {
            for (std::int64_t pixels = 1; pixels <= most; ++pixels) {
                std::vector<float> to(pixelStride * most, -1.0f);
                transpose(from.data(), mapStride, to.data(), pixelStride, maps, pixels);
                for (std::int64_t i = 0; i < most; ++i) {
                    for (std::size_t g = 0; g < pixelStride; ++g) {
                        const float expected = i < pixels && static_cast<std::int64_t>(g) < maps
                                                   ? from[g * mapStride + static_cast<std::size_t>(i)]
                                                   : -1.0f;
                        wrong += to[static_cast<std::size_t>(i) * pixelStride + g] != expected;
                    }
                }
            }
        }
    }
    CHECK(wrong == 0);
}

// The trace stack holds each value's very bits wherever it came from: 70 traces of 41 x 50 pixels
// make two bands of 32, read in chunks of 2048 values and 2 more, and a band of 6 read in one
// chunk, so the register blocks (8 x 8 and 4 x 4) and the loops around them all place values. Even traces hold signalling NaNs, whose
// bits any arithmetic on the way would change; odd traces ordinary floats, each value unique.
void traceStackBitForBit() {
    constexpr std::int32_t traces = 70;
    const MapGeometry geometry{41 * 50, 41, 50};
    const auto bitsOf = [](std::int64_t trace, std::int64_t pixel) {
        const auto unique = static_cast<std::uint32_t>(trace * 4096 + pixel);
        return trace % 2 == 0 ? 0x7F800001u + unique : std::bit_cast<std::uint32_t>(static_cast<float>(unique));
    };
    Bytes area;
    for (std::int32_t r = 0; r < traces; ++r) {
        for (std::int64_t j = 0; j < geometry.npt; ++j) {
            appendInt(area, static_cast<std::int32_t>(bitsOf(r, j)));
        }
        area.insert(area.end(), 100, 0);  // an info record too short to hold a name
    }
    const Bytes file = mapBlock(100, {{1, traces}}, area);
    const auto source = ByteSource::fromMemory(file);
    std::vector<ReadReport> reports;
    auto planned = planTraceMaps(source, 0, geometry, reports);
    CHECK(planned.ok() && planned.value().traces() == traces && planned.value().stacks());
    if (!planned.ok()) {
        return;
    }
    std::vector<float> stack(static_cast<std::size_t>(geometry.npx * geometry.npy * traces));
    TraceNames names;
    CHECK(readTraceMaps(source, planned.value(), geometry, stack, names).kind == TraceMapsEnd::Kind::stacked);
    std::int64_t wrong = 0;
    for (std::int64_t pixel = 0; pixel < geometry.npt; ++pixel) {
        for (std::int64_t k = 0; k < traces; ++k) {
            wrong += std::bit_cast<std::uint32_t>(stack[static_cast<std::size_t>(pixel * traces + k)]) != bitsOf(k, pixel);
        }
    }
    CHECK(wrong == 0);
}

ParameterValue integer(std::int64_t value) {
    return {ParameterType::integer, value, 0.0};
}

ParameterValue real(double value) {
    return {ParameterType::real, 0, value};
}

const ParameterValue text{ParameterType::text, 0, 0.0};

void axisPlans() {
    // value == 0 as Python has it.
    CHECK(integer(0).equalsZero() && real(0.0).equalsZero() && real(-0.0).equalsZero());
    CHECK(!integer(1).equalsZero() && !real(std::nan("")).equalsZero() && !text.equalsZero());

    using Spacing = AxisPlan::Spacing;
    struct Case {
        const char* what;
        AxisPlan plan;
        Spacing spacing;
        std::optional<std::int64_t> length;
        double last;
    };
    const double inf = std::numeric_limits<double>::infinity();
    constexpr std::int64_t int32Max = std::numeric_limits<std::int32_t>::max();
    const std::vector<Case> cases = {
        {"int ends", planAxis(integer(1), integer(5), integer(5)), Spacing::native, 5, 5.0},
        {"float ends", planAxis(real(0.5), real(2.5), integer(3)), Spacing::native, 3, 2.5},
        {"no values", planAxis(real(0.5), real(2.5), integer(0)), Spacing::native, 0, 2.5},
        {"negative count", planAxis(real(0.5), real(2.5), integer(-1)), Spacing::numpy, std::nullopt, 2.5},
        {"infinite end", planAxis(real(0.5), real(inf), integer(3)), Spacing::numpy, 3, inf},
        {"float count", planAxis(real(0.5), real(2.5), real(3.0)), Spacing::python, std::nullopt, 0.0},
        {"text end", planAxis(text, real(2.5), integer(3)), Spacing::python, std::nullopt, 0.0},
        {"map: 10 + 2.5 * 3", planMapAxis(real(10.0), real(2.5), integer(4)), Spacing::native, 4, 17.5},
        {"map: descending", planMapAxis(integer(10), integer(-3), integer(3)), Spacing::native, 3, 4.0},
        {"map: one value", planMapAxis(integer(7), real(2.0), integer(1)), Spacing::native, 1, 7.0},
        {"map: no values", planMapAxis(integer(7), integer(2), integer(0)), Spacing::native, 0, 5.0},
        {"map: text count", planMapAxis(integer(7), integer(2), text), Spacing::python, std::nullopt, 0.0},
        {"map: text step", planMapAxis(integer(7), text, integer(2)), Spacing::python, std::nullopt, 0.0},
    };
    for (const Case& test : cases) {
        const AxisPlan& plan = test.plan;
        check(plan.spacing == test.spacing && plan.length() == test.length &&
                  (plan.spacing == Spacing::python || plan.last == test.last),
              test.what, __LINE__);
    }
    // All ints: the end is the exact int Python computes, rounded once to a float for the spacing.
    const AxisPlan wide = planMapAxis(integer(int32Max), integer(int32Max), integer(int32Max));
    const std::int64_t end = int32Max + int32Max * (int32Max - 1);
    CHECK(wide.end.type == ParameterType::integer && wide.end.integer == end && wide.last == static_cast<double>(end));
    const AxisPlan mixed = planMapAxis(integer(1), real(0.1), integer(4));
    CHECK(mixed.end.type == ParameterType::real && mixed.end.real == 1.0 + 0.1 * 3.0);
}

// A parameter block with these int records and "END".
Bytes intBlock(const std::vector<std::pair<std::string_view, std::int32_t>>& records) {
    Bytes bytes;
    for (const auto& [label, value] : records) {
        intParameter(bytes, label, value);
    }
    endParameters(bytes);
    return bytes;
}

void mapPlans() {
    const std::vector<std::pair<std::string_view, std::int32_t>> common = {
        {"NPT", 3}, {"FXV", 0}, {"LXV", 2}, {"AOX", 0}, {"AOY", 0}, {"DDX", 1}, {"DDY", 1}, {"MXY", 9}, {"MNY", 1}};
    const auto with = [&](std::vector<std::pair<std::string_view, std::int32_t>> records) {
        records.insert(records.begin(), common.begin(), common.end());
        return records;
    };
    // The underived data parameters, at offset 0 of the file.
    const Bytes underived = intBlock({{"AOX", 5}, {"AOY", 6}, {"DDX", 2}, {"DDY", 3}, {"NPX", 5}, {"NPY", 4}});
    const Bytes lacking = intBlock({{"AOX", 5}, {"AOY", 6}, {"DDX", 2}, {"NPX", 5}, {"NPY", 4}});
    const BlockRequest ab3D1DER{16, extendType3D, 1};
    const BlockRequest ab3D{16, extendType3D, 0};
    const BlockRequest trc3D1DER{17, extendType3D, 1};
    struct Case {
        const char* what;
        Bytes merged;
        const Bytes* file;
        std::int64_t offsetToOriginalParams;
        BlockRequest request;
        bool originalGeometry;
        std::optional<MapGeometry> geometry;
        std::optional<std::string_view> missing;
    };
    Bytes realZero;
    for (const auto& [label, value] : with({{"NPX", 2}})) {
        intParameter(realZero, label, value);
    }
    realParameter(realZero, "NPY", -0.0);
    endParameters(realZero);
    Bytes textZero;
    for (const auto& [label, value] : with({{"NPX", 2}})) {
        intParameter(textZero, label, value);
    }
    textParameter(textZero, "NPY", "0", 1);
    endParameters(textZero);
    const std::vector<Case> cases = {
        {"own geometry", intBlock(with({{"NPX", 2}, {"NPY", 2}})), &underived, 0, ab3D1DER, false,
         MapGeometry{3, 2, 2}, std::nullopt},
        {"no rows: the underived geometry", intBlock(with({{"NPX", 2}, {"NPY", 0}})), &underived, 0, ab3D1DER, true,
         MapGeometry{3, 5, 4}, std::nullopt},
        {"float 0 is 0", realZero, &underived, 0, ab3D1DER, true, MapGeometry{3, 5, 4}, std::nullopt},
        {"text \"0\" is not 0", textZero, &underived, 0, ab3D1DER, false, std::nullopt, std::nullopt},
        {"underived data keeps its zeros", intBlock(with({{"NPX", 0}, {"NPY", 2}})), &underived, 0, ab3D, false,
         MapGeometry{3, 0, 2}, std::nullopt},
        {"trace maps take it too", intBlock(with({{"NPX", 0}, {"NPY", 2}})), &underived, 0, trc3D1DER, true,
         MapGeometry{3, 5, 4}, std::nullopt},
        {"no underived block", intBlock(with({{"NPX", 0}, {"NPY", 2}})), &underived, notFound, ab3D1DER, true,
         std::nullopt, std::nullopt},
        {"the underived block lacks DDY", intBlock(with({{"NPX", 0}, {"NPY", 2}})), &lacking, 0, ab3D1DER, true,
         std::nullopt, "DDY"},
        {"merged parameters lack NPY", intBlock(with({{"NPX", 0}})), &underived, 0, ab3D1DER, false, std::nullopt,
         "NPY"},
    };
    for (const Case& test : cases) {
        const auto source = ByteSource::fromMemory(*test.file);
        BlockLocations locations;
        locations.offsetToOriginalParams = test.offsetToOriginalParams;
        const MapPlan plan = planMap(source, test.request, locations, parametersOf(test.merged));
        const auto geometry = plan.ready() ? plan.geometry() : std::nullopt;
        const bool sameGeometry = geometry.has_value() == test.geometry.has_value() &&
                                  (!geometry || (geometry->npt == test.geometry->npt &&
                                                 geometry->npx == test.geometry->npx &&
                                                 geometry->npy == test.geometry->npy));
        const auto missing = plan.missingLabel ? plan.missingLabel : plan.missingOriginalLabel;
        check(plan.originalGeometry == test.originalGeometry && sameGeometry && missing == test.missing &&
                  plan.noUnderivedBlock == (test.offsetToOriginalParams == notFound) &&
                  plan.traces == (test.request.dataBlockRow == 17),
              test.what, __LINE__);
    }
    // The geometry taken replaces the six values; NPT and the rest stay the merged ones.
    const auto source = ByteSource::fromMemory(underived);
    BlockLocations locations;
    locations.offsetToOriginalParams = 0;
    const MapPlan taken = planMap(source, ab3D1DER, locations, parametersOf(intBlock(with({{"NPX", 0}, {"NPY", 0}}))));
    CHECK(taken.values[mapLabel("AOX")].integer == 5 && taken.values[mapLabel("DDY")].integer == 3 &&
          taken.values[mapLabel("NPT")].integer == 3 &&
          taken.mapX.first == 5.0 && taken.mapX.last == 13.0 && taken.mapY.last == 15.0);
    // A damaged underived block: its error, and the reports of its reads.
    Bytes damaged = underived;
    damaged.resize(10);
    const auto damagedSource = ByteSource::fromMemory(damaged);
    const MapPlan failed = planMap(damagedSource, ab3D1DER, locations, parametersOf(intBlock(with({{"NPX", 0}, {"NPY", 0}}))));
    CHECK(failed.originalGeometry && failed.originalError &&
          errorIs(*failed.originalError, ErrorKind::unterminatedParameters, 0) && failed.originalReports.size() == 1 &&
          !failed.ready());
}

void spectrumPlansAndLocation() {
    const Bytes parameters = intBlock({{"NPT", 4}, {"FXV", 1}, {"LXV", 4}, {"MXY", 1}});
    const SpectrumPlan missing = planSpectrum(parametersOf(parameters), 100, 1000);
    CHECK(missing.missingLabel == "MNY");
    Bytes full = parameters;
    full.resize(full.size() - 4);
    intParameter(full, "MNY", 0);
    endParameters(full);
    const SpectrumPlan found = planSpectrum(parametersOf(full), 100, 1000);
    CHECK(!found.missingLabel && found.x.spacing == AxisPlan::Spacing::native && found.x.length() == 4 &&
          !found.offsetError);
    const SpectrumPlan negative = planSpectrum(parametersOf(full), -1, 1000);
    CHECK(negative.offsetError && errorIs(*negative.offsetError, ErrorKind::system, EINVAL));
    // NPT 4 needs a file of at least 4 bytes; a missing label is reported first.
    const SpectrumPlan past = planSpectrum(parametersOf(full), 100, 3);
    CHECK(past.countPastFile && past.countPastFile->label == "NPT" && past.countPastFile->count == 4 &&
          past.countPastFile->fileSize == 3);
    CHECK(!planSpectrum(parametersOf(full), 100, 4).countPastFile && !planSpectrum(parametersOf(parameters), 100, 3).countPastFile);

    // A file with AB 2D data, its data parameters and acquisition parameters, then the blocks.
    const std::int32_t blocks = 24 + 3 * 12;
    Bytes acquisition = intBlock({{"NPT", 2}, {"AQM", 7}});
    Bytes file = fileWithDirectory(24, 3, {0x1000, 2, blocks + static_cast<std::int32_t>(full.size()), 0x1010,
                                           0, blocks, 0x30, 0, blocks + static_cast<std::int32_t>(full.size()) + 8});
    file.insert(file.end(), full.begin(), full.end());
    appendFloat(file, 1.0f);
    appendFloat(file, 2.0f);
    file.insert(file.end(), acquisition.begin(), acquisition.end());
    const auto source = ByteSource::fromMemory(file);
    Cursor cursor(source);
    auto located = locateWithParameters(cursor, {16, 0, 0});
    CHECK(located.ok() && located.value().locations.offsetToParams == blocks &&
          valueOf(located.value().parameters, "NPT")->integer == 2 &&
          valueOf(located.value().parameters, "AQM")->integer == 7 &&
          valueOf(located.value().parameters, "MNY")->integer == 0);
    Cursor again(source);
    auto absent = locateWithParameters(again, {16, extendType3D, 0});
    CHECK(absent.ok() && !absent.value().locations.found() && absent.value().parameters.records.empty());
}

}  // namespace

// An interruption check that says stop from its `stopAt`-th question on.
class CountingCheck final : public InterruptionCheck {
public:
    explicit CountingCheck(int stopAt) : stopAt_(stopAt) {}
    bool stopRequested() noexcept override { return ++asked >= stopAt_; }
    int asked = 0;

private:
    int stopAt_;
};

template <typename T>
bool isInterruption(const Result<T>& result) {
    return !result.ok() && result.error().kind == ErrorKind::interrupted;
}

void interruptionOfReads() {
    const Bytes bytes(2 * interruptionIntervalBytes + 1, 7);
    const auto source = ByteSource::fromMemory(bytes);
    std::uint8_t byte = 0;
    {
        // Asked once an interval of reads, and once an interval of bytes, however they are read.
        CountingCheck never(std::numeric_limits<int>::max());
        InterruptionScope scope(never);
        for (std::uint32_t i = 0; i < 3 * interruptionIntervalReads; ++i) {
            source.readAt(i, &byte, 1);
        }
        CHECK(never.asked == 3);
        Bytes into(bytes.size());
        CHECK(source.readAt(0, into.data(), into.size()).value() == bytes.size() && into == bytes);
        CHECK(never.asked == 5);
        // The kept part is one read of an interval of bytes; the dropped one, 4 KiB a read, an
        // interval of reads.
        const std::size_t dropped = std::size_t{4096} * interruptionIntervalReads;
        const std::array<ReadPart, 2> parts = {{{into.data(), interruptionIntervalBytes}, {nullptr, dropped}}};
        CHECK(source.readParts(0, parts).value() == interruptionIntervalBytes + dropped);
        CHECK(never.asked == 7);
    }
    {
        // A stop fails the read, and every read after it without asking again, until the scope ends.
        CountingCheck stop(1);
        InterruptionScope scope(stop);
        Bytes into(bytes.size());
        CHECK(isInterruption(source.readAt(0, into.data(), into.size())));
        CHECK(isInterruption(source.readAt(0, &byte, 1)));
        const std::array<ReadPart, 1> part = {{{&byte, 1}}};
        CHECK(isInterruption(source.readParts(0, part)));
        CHECK(isInterruption(source.readHead(&byte, 1)));
        CHECK(isInterruption(isOpusFile(source)));
        CHECK(stop.asked == 1);
        {
            // An inner scope has a check of its own; the outer one comes back after it.
            CountingCheck never(std::numeric_limits<int>::max());
            InterruptionScope inner(never);
            CHECK(source.readAt(0, &byte, 1).value() == 1);
        }
        CHECK(isInterruption(source.readAt(0, &byte, 1)));
    }
    CHECK(source.readAt(0, &byte, 1).value() == 1);

    // A directory walk over a long directory (an interval and a half of 4 KiB reads), its last entry
    // cut by the end of the file: interrupted after an interval of reads, it ends there, with no report of a failed read, and its result is
    // the interruption rather than the listing of the entries read.
    const auto entries = static_cast<std::int32_t>(3 * 4096 * interruptionIntervalReads / 2 / 12);
    Bytes file = fileWithDirectory(24, entries, {});
    file.resize(24 + 12 * static_cast<std::size_t>(entries) - 4);
    const auto directory = ByteSource::fromMemory(file);
    for (const bool interrupted : {false, true}) {
        CountingCheck counting(interrupted ? 1 : std::numeric_limits<int>::max());
        InterruptionScope scope(counting);
        std::vector<ReadReport> reports;
        auto listing = readOnNewCursor(directory, reports, [](Cursor& cursor) { return listContents(cursor); });
        CHECK(counting.asked == 1);
        CHECK(interrupted ? isInterruption(listing) && reports.empty() : listing.ok() && reports.size() == 1);
    }
}

// A store table walk reads nothing of its own: it asks the check every interval of steps, and an
// interruption ends the cube fill and the trace plan with the error.
void interruptionOfLongAxes() {
    // An axis of two intervals' bytes asks twice; a stop at the second leaves the rest unfilled.
    const std::size_t stretch = interruptionIntervalBytes / sizeof(double);
    std::vector<double> axis(2 * stretch, -1.0);
    for (const bool interrupted : {false, true}) {
        std::fill(axis.begin(), axis.end(), -1.0);
        CountingCheck counting(interrupted ? 2 : std::numeric_limits<int>::max());
        InterruptionScope scope(counting);
        CHECK(evenlySpaced(0.0, static_cast<double>(axis.size() - 1), axis) == !interrupted);
        CHECK(counting.asked == 2);
        CHECK(axis[stretch - 1] == static_cast<double>(stretch - 1));
        CHECK(axis[stretch] == (interrupted ? -1.0 : static_cast<double>(stretch)));
    }
    // Without a scope, nothing stops it.
    CHECK(evenlySpaced(0.0, 1.0, axis));
}

void interruptionOfRecordWalks() {
    const std::vector<std::pair<std::int32_t, std::int32_t>> skips(interruptionIntervalSteps, {-1, 0});
    const Bytes file = mapBlock(0, skips, records(1, 1, 0));
    const auto source = ByteSource::fromMemory(file);
    Cursor cursor(source);
    const auto block = readMapBlock(cursor, 0);
    CHECK(block.ok() && block.value().storeTable.size() == interruptionIntervalSteps);
    std::vector<float> cube(1);
    const MapGeometry geometry{1, 1, 1};
    for (const bool interrupted : {false, true}) {
        CountingCheck counting(interrupted ? 1 : std::numeric_limits<int>::max());
        InterruptionScope scope(counting);
        const auto filled = fillCube(source, block.value(), geometry, cube);
        CHECK(counting.asked == 1);
        CHECK(interrupted ? isInterruption(filled) : filled.ok() && filled.value().stop == MapStop::none);
        const auto planned = planTraces(source, block.value(), geometry);
        CHECK(planned.ok() && planned.value().error.has_value() == interrupted);
        CHECK(!interrupted || (planned.ok() && planned.value().error &&
                               planned.value().error->kind == ErrorKind::interrupted));
    }
}

#if !defined(_WIN32)
// A blocked open of a FIFO with no writer: each SIGALRM interrupts it; the open is made again until
// the check says stop, and then fails with the interruption.
void signalInterruptsABlockedOpen(const std::string& folder) {
    const std::string fifo = folder + "/interrupted.fifo";
    std::remove(fifo.c_str());
    CHECK(mkfifo(fifo.c_str(), 0600) == 0);
    struct sigaction quiet = {};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);  // and no SA_RESTART: the open returns EINTR
    struct sigaction previous = {};
    sigaction(SIGALRM, &quiet, &previous);
    const itimerval every50ms = {{0, 50000}, {0, 50000}};
    setitimer(ITIMER_REAL, &every50ms, nullptr);
    {
        CountingCheck counting(2);
        InterruptionScope scope(counting);
        CHECK(isInterruption(ByteSource::open(fifo)));
        CHECK(counting.asked == 2);
    }
    const itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    std::remove(fifo.c_str());
}
#endif

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
    nonAsciiFileName(folder);
    nullDeviceReadsAsAStream();
    pipesAreNotSeekable();
    borrowedFileReadsAtOffsets(folder);
    offsetsPastFourGiB(folder);
    checkedArithmetic();
    blockTypeFieldsOfWorkedCodes();
    dataBlockNames();
    directoryWalkStopsAtTheEndOfTheFile();
    longDirectoryInFileOrder();
    directoryOfAFileThatShrinks(folder);
    directoryOffsetsAndSizes();
    cursorReadsMatchTheSource();
    directoryScanOfWorkedCodes();
    parameterBlocks();
    parameterRecordsAcrossTheWindow();
    evenSpacingAndStoredValues();
    stepLoopsBitForBit();
    mapCubes();
    traceMaps();
    traceStackBitForBit();
    transposeShapes();
    recordWalkStepsOverRuns();
    recordsOfAFileThatShrinks(folder);
    traceBandsOfAFileThatShrinks(folder);
    axisPlans();
    mapPlans();
    spectrumPlansAndLocation();
    interruptionOfReads();
    interruptionOfRecordWalks();
    interruptionOfLongAxes();
#if !defined(_WIN32)
    signalInterruptsABlockedOpen(folder);
#endif
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
