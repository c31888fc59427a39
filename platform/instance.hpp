// One running copy per user.
//
// On Linux the first copy holds an exclusive lock on a file in the user's
// runtime directory and listens on a Unix socket beside it; a second start
// finds the lock taken, connects to the socket to ask the first copy to come
// forward, and ends.
//
// On Windows a second start finds the first copy's window by its caption
// (FindWindowW), brings it to the foreground (SetForegroundWindow) and ends;
// a named mutex held by every copy also catches a first copy that has no
// window (headless) or has not shown it yet.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#ifdef _WIN32

struct InstanceLock {
    void* mutex;  // the named mutex's HANDLE, held while the program runs; null for none
};

#else

#include <sys/types.h>

constexpr std::size_t instancePathCapacity = 108;  // sun_path of a Unix socket address
constexpr const char* instanceLockName = "wayloom.lock";
constexpr const char* instanceSocketName = "wayloom.sock";

struct InstanceLock {
    int lockFd;    // the locked file, kept open while the program runs; -1 for none
    int listenFd;  // non-blocking listening socket; -1 for none
    std::array<char, instancePathCapacity> socketPath;  // zero-terminated
};

#endif

enum class InstanceRole {
    first,      // this is the one copy: lock held
    second,     // another copy holds the lock and has been asked to come forward
    unguarded,  // no usable runtime directory or lock: run without the guard
};

// An InstanceLock that holds nothing.
InstanceLock noInstanceLock();

#ifndef _WIN32
// The directory for the lock and socket: $XDG_RUNTIME_DIR when it is set, an
// absolute path, and short enough; otherwise tmpBase/wayloom-<uid>, created
// with mode 0700 and accepted only when it is a directory of that user that no
// one else can enter. Returns false when there is none.
bool findRuntimeDir(const char* xdgRuntimeDir, const char* tmpBase, uid_t uid, std::span<char> dir);

// Takes the lock in dir and starts listening, or, when another copy holds it,
// tells that copy to come forward. Files are created with mode 0600.
InstanceRole claimInstance(const char* dir, InstanceLock& lock);

// The same in the runtime directory that findRuntimeDir gives; when that is
// $XDG_RUNTIME_DIR and it cannot be used (missing, not writable), in the
// private folder under tmpBase instead.
InstanceRole claimRuntimeInstance(const char* xdgRuntimeDir, const char* tmpBase, uid_t uid,
                                  InstanceLock& lock);
#endif

// On Linux claimRuntimeInstance with the environment, "/tmp" and the real
// user; on Windows, as described above.
InstanceRole claimUserInstance(InstanceLock& lock);

// Accepts every waiting request to come forward; returns how many there were
// (always 0 on Windows, where the second start brings the window forward).
int takeForwardRequests(const InstanceLock& lock);

// Removes the socket and drops the lock (the process's end does the same,
// but leaves the socket file, which the next first copy replaces).
void releaseInstance(InstanceLock& lock);
