// The identity of SQLite database files: device and inode as first opened.
#include "server/sqlitefile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <map>
#include <mutex>
#include <utility>

namespace {

using Identity = std::pair<dev_t, ino_t>;

std::mutex filesMutex;
std::map<std::string, Identity> files;  // by path, as first opened

}  // namespace

DatabaseFile checkDatabaseFile(const std::string& path) {
    Identity recorded;
    {
        const std::lock_guard lock(filesMutex);
        const auto found = files.find(path);
        if (found == files.end()) return DatabaseFile::first;
        recorded = found->second;
    }
    struct stat now {};
    if (stat(path.c_str(), &now) != 0) return DatabaseFile::gone;
    return Identity{now.st_dev, now.st_ino} == recorded ? DatabaseFile::same : DatabaseFile::replaced;
}

bool recordDatabaseFile(const std::string& path) {
    struct stat now {};
    if (stat(path.c_str(), &now) != 0) return false;
    const std::lock_guard lock(filesMutex);
    files.emplace(path, Identity{now.st_dev, now.st_ino});
    return true;
}

bool createPrivateDatabaseFile(const std::string& path) {
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file < 0) return errno == EEXIST;
    close(file);
    return true;
}

std::string databaseFileProblem(const std::string& path, DatabaseFile state) {
    return path + (state == DatabaseFile::gone ? " was deleted" : " was replaced by another file") +
           " after the server opened it: nothing is stored until the server is started again";
}
