// The rotating log file on Windows: a handle opened for appending, its size
// counted as it grows, and MoveFileExW to rotate it. The size is counted
// from what is written here: another writer of the same file is not expected.
#include "platform/logfile.hpp"

#include <windows.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cwchar>

namespace {

constexpr std::size_t widePathCapacity = 4096;  // as executablePathCapacity: the log lies beside the program
constexpr const wchar_t* rotatedSuffix = L".1";

struct LogFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::array<wchar_t, widePathCapacity> path{};
    std::array<wchar_t, widePathCapacity + 2> rotatedPath{};  // path and ".1"
    std::uint64_t size = 0;
    std::uint64_t capacity = 0;
    bool atLineStart = true;
};

LogFile logFile;

HANDLE openForAppending(const wchar_t* path) {
    // Others may read it, and rename or delete it (an uninstaller), while it is open.
    return CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool writeAll(const char* bytes, std::size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(logFile.handle, bytes, static_cast<DWORD>(size), &written, nullptr) || written == 0)
            return false;
        bytes += written;
        size -= written;
        logFile.size += written;
    }
    return true;
}

bool writeTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    std::array<char, logTimeLength + 1> text{};
    std::snprintf(text.data(), text.size(), "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear % 10000u,
                  now.wMonth % 100u, now.wDay % 100u, now.wHour % 100u, now.wMinute % 100u,
                  now.wSecond % 100u);
    return writeAll(text.data(), logTimeLength);
}

// The full log becomes NAME.1 and a new one is begun; when the rename fails
// the log goes on growing rather than losing lines.
void rotate() {
    CloseHandle(logFile.handle);
    MoveFileExW(logFile.path.data(), logFile.rotatedPath.data(), MOVEFILE_REPLACE_EXISTING);
    logFile.handle = openForAppending(logFile.path.data());
    LARGE_INTEGER size{};
    logFile.size = logFile.handle != INVALID_HANDLE_VALUE && GetFileSizeEx(logFile.handle, &size)
                       ? static_cast<std::uint64_t>(size.QuadPart)
                       : 0;
}

}  // namespace

unsigned long openLogFile(const char* path, std::uint64_t capacityBytes) {
    closeLogFile();
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, logFile.path.data(),
                                           static_cast<int>(logFile.path.size()));
    if (length <= 0) return ERROR_BAD_PATHNAME;
    std::swprintf(logFile.rotatedPath.data(), logFile.rotatedPath.size(), L"%ls%ls", logFile.path.data(),
                  rotatedSuffix);
    logFile.handle = openForAppending(logFile.path.data());
    if (logFile.handle == INVALID_HANDLE_VALUE) return GetLastError();
    LARGE_INTEGER size{};
    logFile.size = GetFileSizeEx(logFile.handle, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    logFile.capacity = capacityBytes;
    logFile.atLineStart = true;
    return 0;
}

long writeLogFile(std::span<const char> bytes, int& error) {
    if (logFile.handle == INVALID_HANDLE_VALUE) {
        error = EBADF;
        return -1;
    }
    std::size_t taken = 0;
    while (taken < bytes.size()) {
        if (logFile.atLineStart) {
            if (logFile.size >= logFile.capacity) rotate();
            if (logFile.handle == INVALID_HANDLE_VALUE || !writeTime()) break;
        }
        std::size_t end = taken;
        while (end < bytes.size() && bytes[end] != '\n') ++end;
        logFile.atLineStart = end < bytes.size();
        if (logFile.atLineStart) ++end;  // the line end too
        if (!writeAll(bytes.data() + taken, end - taken)) break;
        taken = end;
    }
    if (taken == 0 && !bytes.empty()) {
        error = EIO;
        return -1;
    }
    error = 0;
    return static_cast<long>(taken);
}

void closeLogFile() {
    if (logFile.handle != INVALID_HANDLE_VALUE) CloseHandle(logFile.handle);
    logFile.handle = INVALID_HANDLE_VALUE;
}
