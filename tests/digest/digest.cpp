// The digest harness: runs every call the module makes of the parsing core on each file given, the
// file opened by path through ByteSource::open, and prints one digest per file of all that the calls
// returned. Two builds that print the same lines read every file the same.
//
//   korvex_digest [--steps] PATH...
//
// A directory stands for every regular file below it, in the order of their names relative to it
// ('/'-separated, compared byte by byte); a file stands for itself, named by its file name. Each
// line is "<digest>  <name>", the digest 16 hex digits of FNV-1a 64 over the calls' results:
// numbers as little-endian 64-bit integers, floats and doubles by their bit patterns, texts and
// arrays length first, so that the digest is the same on any host that reads the same.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "core_calls.hpp"

using namespace korvex;

namespace {

class Digest {
public:
    void byte(std::uint8_t value) {
        state_ = (state_ ^ value) * prime;
    }
    void u64(std::uint64_t value) {
        for (int i = 0; i < 8; ++i) {
            byte(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    void u32(std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            byte(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    void bytes(std::span<const std::uint8_t> bytes) {
        u64(bytes.size());
        for (const std::uint8_t value : bytes) {
            byte(value);
        }
    }
    std::uint64_t value() const { return state_; }

private:
    static constexpr std::uint64_t prime = 0x100000001b3;
    std::uint64_t state_ = 0xcbf29ce484222325;
};

template <std::integral Integer>
void add(Digest& digest, Integer value) {
    digest.u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
}

template <typename Enum>
    requires std::is_enum_v<Enum>
void add(Digest& digest, Enum value) {
    add(digest, static_cast<std::int64_t>(value));
}

void add(Digest& digest, double value) {
    digest.u64(std::bit_cast<std::uint64_t>(value));
}

void add(Digest& digest, std::string_view text) {
    digest.bytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void add(Digest& digest, std::span<const std::uint8_t> bytes) {
    digest.bytes(bytes);
}

void add(Digest& digest, std::span<const float> values) {
    digest.u64(values.size());
    for (const float value : values) {
        digest.u32(std::bit_cast<std::uint32_t>(value));
    }
}

void add(Digest& digest, std::span<const double> values) {
    digest.u64(values.size());
    for (const double value : values) {
        digest.u64(std::bit_cast<std::uint64_t>(value));
    }
}

template <typename T>
void add(Digest& digest, const std::optional<T>& value) {
    add(digest, value.has_value());
    if (value) {
        add(digest, *value);
    }
}

// An errno by its name where it has one: the numbers differ between systems, the names do not.
std::string_view systemErrorName(int value) {
    switch (value) {
        case 0:
            return "none";
        case EINVAL:
            return "EINVAL";
        case EISDIR:
            return "EISDIR";
        case ENOENT:
            return "ENOENT";
        case EACCES:
            return "EACCES";
        case EIO:
            return "EIO";
        case ENOMEM:
            return "ENOMEM";
        case EBADF:
            return "EBADF";
        default:
            return {};
    }
}

void addSystemError(Digest& digest, int value) {
    const std::string_view name = systemErrorName(value);
    add(digest, name);
    if (name.empty()) {
        add(digest, value);
    }
}

void add(Digest& digest, const Error& error) {
    add(digest, error.kind);
    addSystemError(digest, error.systemError);
    add(digest, error.value);
    add(digest, std::span<const std::uint8_t>(error.label));
}

template <typename T>
void add(Digest& digest, const Result<T>& result) {
    add(digest, result.ok());
    if (result.ok()) {
        add(digest, result.value());
    } else {
        add(digest, result.error());
    }
}

void add(Digest& digest, std::span<const ReadReport> reports) {
    add(digest, reports.size());
    for (const ReadReport& report : reports) {
        add(digest, report.reader);
        addSystemError(digest, report.systemError);
    }
}

void add(Digest& digest, const FileHeader& header) {
    add(digest, header.versionNumber);
    add(digest, header.offsetToDirectory);
    add(digest, header.maxDirSize);
    add(digest, header.dirSize);
}

void add(Digest& digest, const DirectoryEntry& entry) {
    add(digest, entry.blockType);
    add(digest, entry.sizeInWords);
    add(digest, entry.byteOffset);
}

void add(Digest& digest, const std::vector<ListedBlock>& listing) {
    add(digest, listing.size());
    for (const ListedBlock& block : listing) {
        add(digest, block.dataBlockRow);
        add(digest, block.extendType);
        add(digest, block.derivType);
    }
}

void add(Digest& digest, const BlockRequest& request) {
    add(digest, request.dataBlockRow);
    add(digest, request.extendType);
    add(digest, request.derivType);
}

void add(Digest& digest, const ParameterList& list) {
    add(digest, list.records.size());
    for (const ParameterRecord& record : list.records) {
        add(digest, record.labelBytes());
        add(digest, record.type);
        switch (record.type) {
            case ParameterType::integer:
                add(digest, record.integer);
                break;
            case ParameterType::real:
                add(digest, record.real);
                break;
            case ParameterType::text:
                add(digest, list.textOf(record));
                break;
        }
    }
}

void add(Digest& digest, const LocatedBlocks& found) {
    const BlockLocations& at = found.locations;
    for (const std::int64_t offset : {at.offsetToData, at.offsetToParams, at.offsetToOriginalParams,
                                      at.offsetToAcqParams, at.offsetToInstParams, at.offsetToSampleParams,
                                      at.offsetToFTParams}) {
        add(digest, offset);
    }
    add(digest, found.parameters);
}

void add(Digest& digest, const ParameterValue& value) {
    add(digest, value.type);
    add(digest, value.integer);
    add(digest, value.real);
}

// A double that arithmetic made. A NaN made by arithmetic (inf - inf, 0 * inf) has the sign and
// payload the processor chooses: x86-64 sets the sign, ARM and s390x do not, and Python's own
// arithmetic on each host gives the same as the core's. So any such NaN counts as one value; the
// values read from the file that it was made from are hashed bit for bit with the parameters.
void addComputed(Digest& digest, double value) {
    constexpr std::uint64_t oneNaN = 0x7ff8000000000000;
    digest.u64(std::isnan(value) ? oneNaN : std::bit_cast<std::uint64_t>(value));
}

void add(Digest& digest, const AxisPlan& plan) {
    add(digest, plan.spacing);
    add(digest, plan.count);
    add(digest, plan.first);
    // A map axis's last end is first + step * (count - 1), worked out by the plan.
    addComputed(digest, plan.last);
    add(digest, plan.end.type);
    add(digest, plan.end.integer);
    addComputed(digest, plan.end.real);
}

void add(Digest& digest, const std::optional<CountPastFile>& past) {
    add(digest, past.has_value());
    if (past) {
        add(digest, past->label);
        add(digest, past->count);
        add(digest, past->fileSize);
    }
}

void add(Digest& digest, const SpectrumPlan& plan) {
    add(digest, plan.missingLabel);
    add(digest, plan.countPastFile);
    add(digest, plan.x);
    add(digest, plan.offsetError);
}

void add(Digest& digest, const MapPlan& plan) {
    add(digest, plan.missingLabel);
    add(digest, plan.originalGeometry);
    add(digest, plan.noUnderivedBlock);
    add(digest, std::span<const ReadReport>(plan.originalReports));
    add(digest, plan.originalError);
    add(digest, plan.missingOriginalLabel);
    add(digest, plan.original);
    add(digest, plan.countPastFile);
    for (const ParameterValue& value : plan.values) {
        add(digest, value);
    }
    add(digest, plan.mapX);
    add(digest, plan.mapY);
    add(digest, plan.x);
    add(digest, plan.traces);
}

void add(Digest& digest, const MapOutcome& outcome) {
    add(digest, outcome.stop);
    add(digest, outcome.record);
    add(digest, outcome.values);
}

void add(Digest& digest, const TraceMapsPlan& plan) {
    const MapBlockHeader& header = plan.block.header;
    for (const std::int32_t field : {header.version, header.storedBlocks, header.blockOffset, header.blockSize,
                                     header.infoSize, header.numberEntries}) {
        add(digest, field);
    }
    add(digest, plan.block.storeTable.size());
    for (const StoreTableEntry& entry : plan.block.storeTable) {
        add(digest, entry.first);
        add(digest, entry.second);
    }
    add(digest, plan.block.recordArea);
    add(digest, plan.plan.traces);
    add(digest, plan.plan.outcome);
    add(digest, plan.plan.error);
}

void add(Digest& digest, const TraceMapsEnd& end) {
    add(digest, end.kind);
    add(digest, end.error);
    add(digest, end.values);
    add(digest, end.record);
}

void add(Digest& digest, const TraceNames& names) {
    add(digest, names.names.size());
    for (const TraceNames::Name& name : names.names) {
        add(digest, names.textOf(name));
        add(digest, name.recordCount);
    }
}

// Hashes each step's name and what it returned; with --steps, prints each step's name and the
// digest so far, to find the first step at which two builds part.
struct Hashing {
    Digest& digest;
    bool steps;

    template <typename... Values>
    void operator()(std::string_view what, const Values&... values) {
        add(digest, what);
        (add(digest, values), ...);
        if (steps) {
            std::printf("  %016llx  %.*s\n", static_cast<unsigned long long>(digest.value()),
                        static_cast<int>(what.size()), what.data());
        }
    }
};

// Arrays of up to 16 bytes per byte of the file (64 KiB at least, 1 GiB at most) are made; a larger
// one is hashed as not made. Real files stay well inside this; damaged counts do not.
constexpr calls::ArrayLimits limits{std::int64_t{1} << 30, std::int64_t{64} << 10, 16};

// A path as ByteSource::open takes it: UTF-8 bytes.
std::string openable(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string nameOf(const std::filesystem::path& relative) {
    const std::u8string text = relative.generic_u8string();
    return std::string(text.begin(), text.end());
}

std::uint64_t digestOf(const std::filesystem::path& path, bool steps) {
    const std::string name = openable(path);
    const auto open = [&]() { return ByteSource::open(name); };
    Digest digest;
    Hashing sink{digest, steps};
    calls::runCalls(open, limits, sink);
    return digest.value();
}

struct Named {
    std::string name;
    std::filesystem::path path;
};

// The files a command-line argument stands for, in order.
std::vector<Named> filesOf(const std::filesystem::path& root) {
    std::vector<Named> files;
    if (!std::filesystem::is_directory(root)) {
        files.push_back({nameOf(root.filename()), root});
        return files;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files.push_back({nameOf(entry.path().lexically_relative(root)), entry.path()});
        }
    }
    std::sort(files.begin(), files.end(), [](const Named& a, const Named& b) { return a.name < b.name; });
    return files;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // "\n" as it is, not "\r\n": every platform prints the same bytes.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const bool steps = argc > 1 && std::string_view(argv[1]) == "--steps";
    const int first = steps ? 2 : 1;
    if (argc <= first) {
        std::fprintf(stderr, "usage: korvex_digest [--steps] PATH...\n");
        return 2;
    }
    try {
        for (int i = first; i < argc; ++i) {
            if (!std::filesystem::exists(argv[i])) {
                std::fprintf(stderr, "korvex_digest: no such file or directory: %s\n", argv[i]);
                return 2;
            }
            for (const Named& file : filesOf(argv[i])) {
                const std::uint64_t digest = digestOf(file.path, steps);
                std::printf("%016llx  %s\n", static_cast<unsigned long long>(digest), file.name.c_str());
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvex_digest: %s\n", error.what());
        return 2;
    }
    return std::fflush(stdout) == 0 ? 0 : 2;
}
