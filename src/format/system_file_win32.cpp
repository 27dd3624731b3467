// SystemFile on Windows: a HANDLE opened by its wide path, read with ReadFile at 64-bit offsets.
#include "format/system_file.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace korvex {

const std::size_t SystemFile::mostSpans = 1024;

namespace {

HANDLE handleOf(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}

// The errno that the C runtime's open() sets for a Windows error code (its _dosmaperr table), so
// that the module raises what the interpreter's open() raises for the same file.
int errnoOf(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_FAIL_I24:
    case ERROR_DRIVE_LOCKED:
    case ERROR_SEEK_ON_DEVICE:
    case ERROR_NOT_LOCKED:
    case ERROR_LOCK_FAILED:
        return EACCES;
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_TARGET_HANDLE:
    case ERROR_DIRECT_ACCESS_HANDLE:
        return EBADF;
    case ERROR_ARENA_TRASHED:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_INVALID_BLOCK:
    case ERROR_NOT_ENOUGH_QUOTA:
        return ENOMEM;
    case ERROR_BAD_ENVIRONMENT:
        return E2BIG;
    case ERROR_BAD_FORMAT:
        return ENOEXEC;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_NO_PROC_SLOTS:
    case ERROR_MAX_THRDS_REACHED:
    case ERROR_NESTING_NOT_ALLOWED:
        return EAGAIN;
    case ERROR_BROKEN_PIPE:
        return EPIPE;
    case ERROR_DISK_FULL:
        return ENOSPC;
    case ERROR_WAIT_NO_CHILDREN:
    case ERROR_CHILD_NOT_COMPLETE:
        return ECHILD;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    default:
        break;
    }
    // The write-protect to sharing-buffer codes (a sharing violation among them) and the bad
    // executable codes are ranges in the runtime's table; everything else, ERROR_INVALID_NAME
    // included, is EINVAL there.
    if (code >= ERROR_WRITE_PROTECT && code <= ERROR_SHARING_BUFFER_EXCEEDED) {
        return EACCES;
    }
    if (code >= ERROR_INVALID_STARTING_CODESEG && code <= ERROR_INFLOOP_IN_RELOC_CHAIN) {
        return ENOEXEC;
    }
    return EINVAL;
}

Error lastError() {
    return Error::fromSystem(errnoOf(GetLastError()));
}

// One ReadFile of `count` bytes (at most SystemFile::mostBytes) at `offset`, or from the current
// position of a pipe or device when `offset` is negative. The end of a file or of a pipe's writes
// reads as 0 bytes.
Result<std::size_t> readFile(HANDLE handle, std::int64_t offset, std::uint8_t* into, std::size_t count) {
    const auto wanted = static_cast<DWORD>(std::min(count, SystemFile::mostBytes));
    DWORD got = 0;
    BOOL done;
    if (offset >= 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
        at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
        done = ReadFile(handle, into, wanted, &got, &at);
    } else {
        done = ReadFile(handle, into, wanted, &got, nullptr);
    }
    if (!done) {
        const DWORD code = GetLastError();
        if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) {
            return std::size_t{0};
        }
        return Error::fromSystem(errnoOf(code));
    }
    return static_cast<std::size_t>(got);
}

// The UTF-16 name of a path given in UTF-8, or false when `path` is not UTF-8. A Windows name may
// hold a surrogate without its pair, which the interpreter passes on as it is; its UTF-8 form
// (surrogatepass) is three bytes ED A0-BF 80-BF, which are taken here as that one code unit.
// Overlong forms, code points past U+10FFFF and cut or stray continuation bytes are refused.
bool widen(const std::string& path, std::wstring& wide) {
    wide.clear();
    wide.reserve(path.size());
    const auto* at = reinterpret_cast<const unsigned char*>(path.data());
    const auto* const end = at + path.size();
    while (at < end) {
        const unsigned lead = *at++;
        if (lead < 0x80) {
            wide.push_back(static_cast<wchar_t>(lead));
            continue;
        }
        int more;
        std::uint32_t point;
        std::uint32_t least;
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1, point = lead & 0x1Fu, least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2, point = lead & 0x0Fu, least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3, point = lead & 0x07u, least = 0x10000;
        } else {
            return false;
        }
        if (end - at < more) {
            return false;
        }
        for (int i = 0; i < more; ++i) {
            const unsigned next = *at++;
            if ((next & 0xC0u) != 0x80u) {
                return false;
            }
            point = (point << 6) | (next & 0x3Fu);
        }
        if (point < least || point > 0x10FFFF) {
            return false;
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            wide.push_back(static_cast<wchar_t>(0xD800 + (point >> 10)));
            wide.push_back(static_cast<wchar_t>(0xDC00 + (point & 0x3FFu)));
        } else {
            wide.push_back(static_cast<wchar_t>(point));
        }
    }
    return true;
}

}  // namespace

Result<SystemFile> SystemFile::open(const std::string& path) {
    std::wstring wide;
    if (!widen(path, wide)) {
        return Error::fromSystem(EILSEQ);  // not UTF-8
    }
    // No FILE_FLAG_BACKUP_SEMANTICS, so that a directory fails with ERROR_ACCESS_DENIED, as it does
    // for the interpreter's open(). Other processes may still write, rename or delete the file, as
    // they may when the C runtime opens it. No security attributes: the handle is not inherited.
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    SystemFile file;
    file.native_ = reinterpret_cast<std::intptr_t>(handle);
    if (auto refused = file.describe()) {
        return *refused;
    }
    return file;
}

Result<SystemFile> SystemFile::borrow(std::intptr_t native) {
    if (native == -1) {
        return Error::fromSystem(EBADF);
    }
    SystemFile file;
    file.native_ = native;
    file.owned_ = false;
    if (auto refused = file.describe()) {
        return *refused;
    }
    return file;
}

std::optional<Error> SystemFile::describe() {
    const HANDLE handle = handleOf(native_);
    SetLastError(NO_ERROR);
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
        return lastError();
    }
    if (type == FILE_TYPE_DISK) {
        BY_HANDLE_FILE_INFORMATION information;
        if (!GetFileInformationByHandle(handle, &information)) {
            return lastError();
        }
        if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return Error::fromSystem(EACCES);
        }
        LARGE_INTEGER size;
        if (!GetFileSizeEx(handle, &size)) {
            return lastError();
        }
        size_ = static_cast<std::int64_t>(size.QuadPart);
    }
    // Pipes and character devices have no size: 0, and they are read as a stream by readFromStart.
    // A pipe cannot be read at an offset at all.
    seekable_ = type != FILE_TYPE_PIPE;
    return std::nullopt;
}

void SystemFile::close() noexcept {
    if (native_ != -1 && owned_) {
        CloseHandle(handleOf(native_));
    }
    native_ = -1;
}

Result<std::size_t> SystemFile::readAt(std::int64_t offset, std::uint8_t* into, std::size_t count) const {
    return readFile(handleOf(native_), offset, into, count);
}

Result<std::size_t> SystemFile::readSpans(std::int64_t offset, std::span<const ReadSpan> spans) const {
    // Windows has no scattered read of buffered files at an offset (ReadFileScatter wants whole
    // pages of unbuffered files), so one ReadFile a span, stopping at the first that comes up short.
    std::size_t done = 0;
    for (const ReadSpan& span : spans.first(std::min(spans.size(), mostSpans))) {
        auto got = readFile(handleOf(native_), offset + static_cast<std::int64_t>(done), span.into, span.count);
        if (!got.ok()) {
            if (done > 0) {
                return done;  // what was read counts; the caller's next call reports the error
            }
            return got.error();
        }
        done += got.value();
        if (got.value() != span.count) {
            break;
        }
    }
    return done;
}

Result<std::size_t> SystemFile::readFromStart(std::uint64_t done, std::uint8_t* into, std::size_t count) const {
    // A read at an offset moves a Windows file's position, so a disk file is read at the offset
    // `done`; a pipe or device from where it stands, the start the first time.
    const bool disk = GetFileType(handleOf(native_)) == FILE_TYPE_DISK;
    return readFile(handleOf(native_), disk ? static_cast<std::int64_t>(done) : -1, into, count);
}

}  // namespace korvex
