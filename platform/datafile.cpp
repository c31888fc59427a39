// The durable record file on Linux: pread, pwrite, fdatasync, ftruncate.
// EINTR is retried here; every other failure is diagnosed once with the
// system's reason.
#include "platform/datafile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "platform/diagnostics.hpp"

namespace {

void diagnose(std::string_view what) {
    reportFailure(what, "queue file", systemReason(errno));
}

}  // namespace

namespace {

constexpr std::size_t folderPathCapacity = 4096;  // PATH_MAX

int openRetried(const char* path, int flags) {
    int fd = -1;
    do {
        fd = open(path, flags, S_IRUSR | S_IWUSR);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Flushes the folder that holds path, so a file just made there keeps its
// name after a power loss. A folder that cannot be flushed is left as it is:
// the file itself is open and written either way.
void syncFolderOf(const char* path) {
    const std::string_view name(path);
    const std::size_t slash = name.rfind('/');
    std::array<char, folderPathCapacity> folder{};
    const std::string_view folderName =
        slash == std::string_view::npos ? "." : name.substr(0, std::max<std::size_t>(slash, 1));
    if (folderName.size() >= folder.size()) return;
    std::copy(folderName.begin(), folderName.end(), folder.begin());
    const int fd = openRetried(folder.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    while (fsync(fd) != 0 && errno == EINTR) {
    }
    close(fd);
}

}  // namespace

DataFileHandle openDataFile(const char* path) {
    int fd = openRetried(path, O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = openRetried(path, O_RDWR | O_CREAT | O_CLOEXEC);
        if (fd >= 0) syncFolderOf(path);
    }
    if (fd < 0) reportFailure("cannot open queue file", path, systemReason(errno));
    return fd;
}

bool dataFileMovedAway(DataFileHandle file, const char* path) {
    struct stat open {};
    struct stat named {};
    if (fstat(static_cast<int>(file), &open) != 0) return false;
    if (stat(path, &named) != 0) return errno == ENOENT;
    return named.st_dev != open.st_dev || named.st_ino != open.st_ino;
}

void closeDataFile(DataFileHandle file) {
    if (file != noDataFile) close(static_cast<int>(file));
}

std::int64_t dataFileSize(DataFileHandle file) {
    struct stat status {};
    if (fstat(static_cast<int>(file), &status) != 0) return -1;
    return status.st_size;
}

std::size_t readDataFile(DataFileHandle file, std::int64_t offset, std::span<char> buffer) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t count = pread(static_cast<int>(file), buffer.data() + done, buffer.size() - done,
                                    static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            diagnose("cannot read");
            return 0;
        }
        if (count == 0) break;
        done += static_cast<std::size_t>(count);
    }
    return done;
}

bool writeDataFile(DataFileHandle file, std::int64_t offset, std::span<const char> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = pwrite(static_cast<int>(file), bytes.data() + done, bytes.size() - done,
                                     static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            diagnose("cannot write");
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

bool syncDataFile(DataFileHandle file) {
    int result = 0;
    do {
        result = fdatasync(static_cast<int>(file));
    } while (result != 0 && errno == EINTR);
    if (result != 0) diagnose("cannot flush");
    return result == 0;
}

bool truncateDataFile(DataFileHandle file, std::int64_t length) {
    int result = 0;
    do {
        result = ftruncate(static_cast<int>(file), static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    if (result != 0) diagnose("cannot cut");
    return result == 0;
}

bool isAbsolutePath(std::string_view path) {
    return !path.empty() && path.front() == '/';
}
