// Test support: a private network for each test that touches the network.
//
// runInPrivateNetwork() forks a child that enters a network namespace of its
// own (as root directly, otherwise through a user namespace), brings its
// loopback interface up or leaves it down, runs the test's body there and
// sends the body's result record back through a pipe; the parent checks it.
// Nothing a test does can reach another network, and port 80 needs no
// privilege inside the namespace.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

namespace privatenet {

inline bool writeFile(const char* path, std::string_view text) {
    const int file = open(path, O_WRONLY | O_CLOEXEC);
    if (file < 0) return false;
    const bool written = write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(file);
    return written;
}

// A network namespace for this process; an ordinary user becomes root of a
// user namespace first, which is what lets it own the new network.
inline bool enterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) == 0) return true;
    const std::string uidMap = "0 " + std::to_string(getuid()) + " 1";
    const std::string gidMap = "0 " + std::to_string(getgid()) + " 1";
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
    writeFile("/proc/self/setgroups", "deny");
    return writeFile("/proc/self/uid_map", uidMap) && writeFile("/proc/self/gid_map", gidMap);
}

// This process (in its private network) sees hosts as /etc/hosts: a mount
// namespace of its own with a file bound over the system's.
inline bool useHostsFile(std::string_view hosts) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    const std::string path = "/tmp/wayloom-hosts-" + std::to_string(getpid());
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) return false;
    close(file);
    const bool bound =
        writeFile(path.c_str(), hosts) && mount(path.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    unlink(path.c_str());  // the bound file stays reachable through /etc/hosts
    return bound;
}

inline bool setLoopbackUp(bool up) {
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool done = ioctl(control, SIOCGIFFLAGS, &request) == 0;
    if (done) {
        const short upFlags = IFF_UP | IFF_RUNNING;
        request.ifr_flags =
            static_cast<short>(up ? (request.ifr_flags | upFlags) : (request.ifr_flags & ~upFlags));
        done = ioctl(control, SIOCSIFFLAGS, &request) == 0;
    }
    close(control);
    return done;
}

// Open descriptors of this process (the directory's own one not counted).
inline int countOpenDescriptors() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(directory);
    return count - 1;
}

inline long long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

inline bool writeAll(int file, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t count = write(file, bytes, size);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        bytes += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

// A helper process of a test's child (a server, a feeder): it is killed when
// the child ends, however the child ends, so that no helper outlives a failed
// test or holds the pipe that carries the child's result.
inline pid_t forkHelper() {
    const pid_t parent = getpid();
    const pid_t helper = fork();
    if (helper == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
    }
    return helper;
}

// Reads size bytes unless the writer closes first or deadlineMs passes.
inline std::size_t readAllWithin(int file, void* data, std::size_t size, long long deadlineMs) {
    auto* bytes = static_cast<char*>(data);
    std::size_t total = 0;
    const auto start = std::chrono::steady_clock::now();
    while (total < size) {
        const long long left = deadlineMs - millisecondsSince(start);
        pollfd entry{file, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) == 0) break;
        const ssize_t count = read(file, bytes + total, size - total);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        total += static_cast<std::size_t>(count);
    }
    return total;
}

constexpr long long childDeadlineMs = 120000;  // far beyond any test's need

// Runs body(result) in a child in a private network and copies the result
// record back. The child exits without running this process's destructors.
template <typename Result, typename Body>
::testing::AssertionResult runInPrivateNetwork(bool loopbackUp, Result& result, Body body) {
    static_assert(std::is_trivially_copyable_v<Result>);
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0)
        return ::testing::AssertionFailure() << "pipe: " << std::strerror(errno);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return ::testing::AssertionFailure() << "fork: " << std::strerror(errno);
    if (child == 0) {
        close(channel[0]);
        if (!enterPrivateNetwork()) _exit(3);
        if (loopbackUp && !setLoopbackUp(true)) _exit(4);
        const auto record = std::make_unique<Result>();
        body(*record);
        _exit(writeAll(channel[1], record.get(), sizeof(Result)) ? 0 : 5);
    }
    close(channel[1]);
    const std::size_t got = readAllWithin(channel[0], &result, sizeof(Result), childDeadlineMs);
    close(channel[0]);
    int status = 0;
    if (got != sizeof(Result)) kill(child, SIGKILL);  // stuck, or already gone
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status))
        return ::testing::AssertionFailure() << "the child died of signal " << WTERMSIG(status);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 3) return ::testing::AssertionFailure() << "no private network namespace could be made";
    if (code == 4) return ::testing::AssertionFailure() << "the loopback interface did not come up";
    if (code != 0) return ::testing::AssertionFailure() << "the child exited with " << code;
    if (got != sizeof(Result)) return ::testing::AssertionFailure() << "the child sent " << got << " bytes";
    return ::testing::AssertionSuccess();
}

// ---- wayloom-receiver in the private network --------------------------------

struct Receiver {
    pid_t pid = -1;
    char logPath[64] = "";
};

// Starts the built wayloom-receiver on port (80 unless given) with its JSON
// log in a new temporary file, and waits until it says it is listening.
// extra holds further options, such as --tls-cert FILE --tls-key FILE.
inline bool startReceiver(Receiver& receiver, const char* listenAddress, const char* script,
                          const char* port = "80", std::initializer_list<const char*> extra = {}) {
    std::strcpy(receiver.logPath, "/tmp/wayloom-receiver-log-XXXXXX");
    const int logFile = mkostemp(receiver.logPath, O_CLOEXEC);
    if (logFile < 0) return false;
    close(logFile);
    int messages[2];
    if (pipe2(messages, O_CLOEXEC) != 0) return false;
    const std::string program = std::string(WAYLOOM_BINARY_DIR) + "/wayloom-receiver";
    std::vector<const char*> arguments{
        program.c_str(), "--listen", listenAddress,    "--port",          port, "--script",
        script,          "--log",    receiver.logPath, "--stall-seconds", "20"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.push_back(nullptr);
    receiver.pid = forkHelper();
    if (receiver.pid == 0) {
        dup2(messages[1], STDERR_FILENO);
        execv(program.c_str(), const_cast<char* const*>(arguments.data()));
        _exit(127);
    }
    close(messages[1]);
    std::string said;
    const auto start = std::chrono::steady_clock::now();
    while (said.find("listening on") == std::string::npos && millisecondsSince(start) < 10000) {
        pollfd entry{messages[0], POLLIN, 0};
        if (poll(&entry, 1, 100) <= 0) continue;
        char chunk[256];
        const ssize_t count = read(messages[0], chunk, sizeof chunk);
        if (count <= 0) break;
        said.append(chunk, static_cast<std::size_t>(count));
    }
    close(messages[0]);  // later complaints of the receiver are dropped
    return said.find("listening on") != std::string::npos;
}

// Stops the receiver with SIGTERM and removes its log; its exit status (0
// when it stopped cleanly).
inline int stopReceiver(Receiver& receiver) {
    if (receiver.pid <= 0) return -1;
    kill(receiver.pid, SIGTERM);
    int status = 0;
    waitpid(receiver.pid, &status, 0);
    receiver.pid = -1;
    unlink(receiver.logPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The receiver's JSON lines so far, at most capacity - 1 bytes, terminated.
inline void readReceiverLog(const Receiver& receiver, char* text, std::size_t capacity) {
    text[0] = '\0';
    const int file = open(receiver.logPath, O_RDONLY | O_CLOEXEC);
    if (file < 0) return;
    const std::size_t got = readAllWithin(file, text, capacity - 1, 1000);
    text[got] = '\0';
    close(file);
}

// The value of string field name in a JSON line, unescaped; false when the
// line has no such string field. \u00XX gives the byte XX.
inline bool jsonStringField(std::string_view line, std::string_view name, std::string& value) {
    const std::string key = "\"" + std::string(name) + "\":\"";
    std::size_t at = line.find(key);
    if (at == std::string_view::npos) return false;
    value.clear();
    for (at += key.size(); at < line.size(); ++at) {
        char c = line[at];
        if (c == '"') return true;
        if (c == '\\' && at + 1 < line.size()) {
            c = line[++at];
            if (c == 'n') c = '\n';
            if (c == 'r') c = '\r';
            if (c == 't') c = '\t';
            if (c == 'u' && at + 4 < line.size()) {
                const std::string digits(line.substr(at + 1, 4));
                c = static_cast<char>(std::strtol(digits.c_str(), nullptr, 16));
                at += 4;
            }
        }
        value.push_back(c);
    }
    return false;
}

}  // namespace privatenet
