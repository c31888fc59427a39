// The durable record file on Windows: CreateFileW, ReadFile and WriteFile at
// an offset, FlushFileBuffers, SetEndOfFile. Every failure is diagnosed once
// with the system's reason.
#include "platform/datafile.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <climits>

#include "platform/diagnostics.hpp"
#include "platform/files.hpp"
#include "platform/process.hpp"

namespace {

HANDLE handleOf(DataFileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

void diagnose(std::string_view what, std::string_view subject = "queue file") {
    std::array<char, 160> reason{};
    reportFailure(what, subject, windowsErrorText(GetLastError(), reason));
}

OVERLAPPED at(std::int64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return position;
}

constexpr std::size_t largestTransfer = 1 << 30;  // one ReadFile or WriteFile

}  // namespace

namespace {

using WidePath = std::array<wchar_t, executablePathCapacity>;

bool toWidePath(const char* path, WidePath& wide) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(),
                               static_cast<int>(wide.size())) > 0;
}

// The volume and file index that name one file whatever its path.
struct FileIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
    bool operator==(const FileIdentity&) const = default;
};

bool identityOf(HANDLE file, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) return false;
    identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
    return true;
}

}  // namespace

DataFileHandle openDataFile(const char* path) {
    WidePath wide{};
    if (!toWidePath(path, wide)) {
        diagnose("cannot open queue file", path);
        return noDataFile;
    }
    // The folder's separators may be "/" as well as "\": CreateFileW takes both.
    // FILE_SHARE_DELETE lets a user or a cleaning script delete or rename the
    // file while it is open; the queue notices and writes a new one.
    const HANDLE file =
        CreateFileW(wide.data(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        diagnose("cannot open queue file", path);
        return noDataFile;
    }
    return reinterpret_cast<DataFileHandle>(file);
}

// A file deleted while another handle holds it open may stay "delete
// pending" under its name until that handle closes: it cannot be opened
// then, nor a new one made, so the open file is kept until it can.
bool dataFileMovedAway(DataFileHandle file, const char* path) {
    WidePath wide{};
    FileIdentity open{};
    if (!toWidePath(path, wide) || !identityOf(handleOf(file), open)) return false;
    const HANDLE named =
        CreateFileW(wide.data(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    FileIdentity there{};
    const bool known = identityOf(named, there);
    CloseHandle(named);
    return known && !(there == open);
}

void closeDataFile(DataFileHandle file) {
    if (file != noDataFile) CloseHandle(handleOf(file));
}

std::int64_t dataFileSize(DataFileHandle file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handleOf(file), &size)) return -1;
    return size.QuadPart;
}

std::size_t readDataFile(DataFileHandle file, std::int64_t offset, std::span<char> buffer) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        OVERLAPPED position = at(offset + static_cast<std::int64_t>(done));
        DWORD count = 0;
        const auto ask = static_cast<DWORD>(std::min(buffer.size() - done, largestTransfer));
        if (!ReadFile(handleOf(file), buffer.data() + done, ask, &count, &position)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            diagnose("cannot read");
            return 0;
        }
        if (count == 0) break;
        done += count;
    }
    return done;
}

bool writeDataFile(DataFileHandle file, std::int64_t offset, std::span<const char> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        OVERLAPPED position = at(offset + static_cast<std::int64_t>(done));
        DWORD count = 0;
        const auto ask = static_cast<DWORD>(std::min(bytes.size() - done, largestTransfer));
        if (!WriteFile(handleOf(file), bytes.data() + done, ask, &count, &position) || count == 0) {
            diagnose("cannot write");
            return false;
        }
        done += count;
    }
    return true;
}

bool syncDataFile(DataFileHandle file) {
    if (FlushFileBuffers(handleOf(file))) return true;
    diagnose("cannot flush");
    return false;
}

bool truncateDataFile(DataFileHandle file, std::int64_t length) {
    LARGE_INTEGER position{};
    position.QuadPart = length;
    if (SetFilePointerEx(handleOf(file), position, nullptr, FILE_BEGIN) && SetEndOfFile(handleOf(file)))
        return true;
    diagnose("cannot cut");
    return false;
}

bool isAbsolutePath(std::string_view path) {
    if (!path.empty() && (path.front() == '/' || path.front() == '\\')) return true;
    const bool drive =
        path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return drive && path[1] == ':' && (path[2] == '/' || path[2] == '\\');
}
