// One running copy per user, through a lock file and a Unix socket in the
// user's runtime directory.
//
// The lock is flock() on an open file: the kernel drops it when its holder
// ends in any way, so a crashed copy never blocks the next start. The socket
// only carries "come forward": a second start connects and the first copy
// accepts. The first copy replaces a socket file left behind by an earlier one.
//
// Divisions: the runtime directory; claiming; forward requests.
#include "platform/instance.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

static_assert(sizeof(sockaddr_un::sun_path) == instancePathCapacity);

// A second start that finds the lock taken but no socket yet (the first copy
// is between taking the lock and listening) tries again for about a second.
constexpr int claimAttempts = 20;
constexpr auto claimRetryDelay = std::chrono::milliseconds(50);

InstanceLock noInstanceLock() {
    return InstanceLock{-1, -1, {}};
}

// ---- The runtime directory

// Writes "dir/name" into path; false when it does not fit.
static bool joinPath(std::span<char> path, const char* dir, const char* name) {
    const int written = std::snprintf(path.data(), path.size(), "%s/%s", dir, name);
    return written > 0 && static_cast<std::size_t>(written) < path.size();
}

// The longer of the two file names decides whether a directory is short enough.
static bool fitsRuntimeDir(const char* dir) {
    std::array<char, instancePathCapacity> probe{};
    return joinPath(probe, dir, instanceLockName) && joinPath(probe, dir, instanceSocketName);
}

bool findRuntimeDir(const char* xdgRuntimeDir, const char* tmpBase, uid_t uid, std::span<char> dir) {
    if (dir.empty()) return false;
    dir[0] = '\0';
    if (xdgRuntimeDir != nullptr && xdgRuntimeDir[0] == '/' && fitsRuntimeDir(xdgRuntimeDir) &&
        std::strlen(xdgRuntimeDir) < dir.size()) {
        std::memcpy(dir.data(), xdgRuntimeDir, std::strlen(xdgRuntimeDir) + 1);
        return true;
    }
    const int written =
        std::snprintf(dir.data(), dir.size(), "%s/wayloom-%u", tmpBase, static_cast<unsigned>(uid));
    if (written <= 0 || static_cast<std::size_t>(written) >= dir.size() || !fitsRuntimeDir(dir.data())) {
        dir[0] = '\0';
        return false;
    }
    if (mkdir(dir.data(), 0700) != 0 && errno != EEXIST) return false;
    // A shared directory such as /tmp lets anyone create the name first: use it
    // only when it is a real directory of this user closed to everyone else.
    struct stat status {};
    if (lstat(dir.data(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != uid ||
        (status.st_mode & 077) != 0) {
        dir[0] = '\0';
        return false;
    }
    return true;
}

// ---- Claiming

static sockaddr_un socketAddress(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, std::strlen(path) + 1);  // fits: checked by the caller
    return address;
}

static int listenForward(const char* path) {
    unlink(path);  // left by an earlier copy; only the lock holder gets here
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_un address = socketAddress(path);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Asks the copy listening on path to come forward; false when no one listens.
static bool askForward(const char* path) {
    // Non-blocking: a first copy that is stopped (Ctrl-Z) and whose queue is
    // full refuses at once instead of holding this start for ever.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const sockaddr_un address = socketAddress(path);
    bool asked = false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        const char request = 'F';
        asked = send(fd, &request, 1, MSG_NOSIGNAL) == 1;
    }
    close(fd);
    return asked;
}

// flock without EINTR: 0 taken, 1 held by another, -1 failed.
static int tryLock(int fd) {
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? 1 : -1;
    }
}

InstanceRole claimInstance(const char* dir, InstanceLock& lock) {
    lock.lockFd = -1;
    lock.listenFd = -1;
    lock.socketPath[0] = '\0';
    std::array<char, instancePathCapacity> lockPath{};
    if (dir == nullptr || !joinPath(lockPath, dir, instanceLockName) ||
        !joinPath(lock.socketPath, dir, instanceSocketName)) {
        lock.socketPath[0] = '\0';
        return InstanceRole::unguarded;
    }
    const int fd = open(lockPath.data(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return InstanceRole::unguarded;
    for (int attempt = 0; attempt < claimAttempts; ++attempt) {
        const int locked = tryLock(fd);
        if (locked == 0) {
            lock.lockFd = fd;
            lock.listenFd = listenForward(lock.socketPath.data());
            return InstanceRole::first;
        }
        if (locked < 0) break;
        if (askForward(lock.socketPath.data())) {
            close(fd);
            return InstanceRole::second;
        }
        std::this_thread::sleep_for(claimRetryDelay);
    }
    // The lock stays taken by a copy that does not answer: still a second start.
    const bool held = tryLock(fd) == 1;
    close(fd);
    lock.socketPath[0] = '\0';
    return held ? InstanceRole::second : InstanceRole::unguarded;
}

InstanceRole claimRuntimeInstance(const char* xdgRuntimeDir, const char* tmpBase, uid_t uid,
                                  InstanceLock& lock) {
    std::array<char, instancePathCapacity> dir{};
    if (findRuntimeDir(xdgRuntimeDir, tmpBase, uid, dir)) {
        const InstanceRole role = claimInstance(dir.data(), lock);
        if (role != InstanceRole::unguarded) return role;
    }
    // A named folder that is missing or cannot be written would leave this
    // copy unguarded, and a second one running beside it: the private
    // folder serves instead, as when the variable is unset.
    if (xdgRuntimeDir != nullptr && findRuntimeDir(nullptr, tmpBase, uid, dir)) {
        return claimInstance(dir.data(), lock);
    }
    lock = noInstanceLock();
    return InstanceRole::unguarded;
}

InstanceRole claimUserInstance(InstanceLock& lock) {
    return claimRuntimeInstance(std::getenv("XDG_RUNTIME_DIR"), "/tmp", getuid(), lock);
}

// ---- Forward requests

// accept4 with a signal's interruption retried: a connection, or -1.
static int acceptRetried(int listenFd) {
    for (;;) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

int takeForwardRequests(const InstanceLock& lock) {
    if (lock.listenFd < 0) return 0;
    int count = 0;
    for (;;) {
        const int fd = acceptRetried(lock.listenFd);
        if (fd < 0) {
            if (errno == ECONNABORTED) continue;  // the asker gave up: look for the next
            return count;                         // EAGAIN: none left
        }
        close(fd);
        ++count;
    }
}

void releaseInstance(InstanceLock& lock) {
    if (lock.listenFd >= 0) {
        close(lock.listenFd);
        unlink(lock.socketPath.data());
    }
    if (lock.lockFd >= 0) close(lock.lockFd);  // closing the last descriptor drops the lock
    lock = noInstanceLock();
}
