// One copy per user: real lock files and sockets in a private runtime
// directory, other copies played by this process and by child processes.
#include "platform/instance.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <cstdlib>
#include <string>

namespace {

class Instance : public ::testing::Test {
  protected:
    void SetUp() override {
        std::array<char, 32> pattern{"/tmp/wayloom-test-XXXXXX"};
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern.data();
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    std::string path(const char* name) const { return dir + "/" + name; }

    std::string dir;
};

TEST_F(Instance, SecondStartAsksTheFirstToComeForward) {
    InstanceLock first{};
    ASSERT_EQ(claimInstance(dir.c_str(), first), InstanceRole::first);
    EXPECT_GE(first.lockFd, 0);
    ASSERT_GE(first.listenFd, 0);
    EXPECT_EQ(takeForwardRequests(first), 0);

    InstanceLock second{};
    EXPECT_EQ(claimInstance(dir.c_str(), second), InstanceRole::second);
    EXPECT_EQ(second.lockFd, -1);
    EXPECT_EQ(second.listenFd, -1);
    InstanceLock third{};
    EXPECT_EQ(claimInstance(dir.c_str(), third), InstanceRole::second);
    EXPECT_EQ(takeForwardRequests(first), 2);
    EXPECT_EQ(takeForwardRequests(first), 0);

    struct stat status {};
    ASSERT_EQ(stat(path(instanceLockName).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    releaseInstance(first);
    EXPECT_EQ(first.lockFd, -1);
    EXPECT_NE(access(path(instanceSocketName).c_str(), F_OK), 0);
    InstanceLock next{};
    EXPECT_EQ(claimInstance(dir.c_str(), next), InstanceRole::first);
    releaseInstance(next);
}

// A first copy that takes no requests (stopped with Ctrl-Z) fills its queue;
// later starts must still end as second starts, not wait on it for ever.
TEST_F(Instance, SecondStartsEndWhileTheFirstTakesNoRequests) {
    InstanceLock first{};
    ASSERT_EQ(claimInstance(dir.c_str(), first), InstanceRole::first);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(30);  // a start that hangs ends the child by SIGALRM
        for (int start = 0; start < 12; ++start) {
            InstanceLock other{};
            if (claimInstance(dir.c_str(), other) != InstanceRole::second) _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "a second start hung on a first copy that takes no requests";
    if (WIFEXITED(status)) {
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    releaseInstance(first);
}

// A copy that ended without cleaning up leaves its socket file; the lock went
// with the process, so the next start is the first copy and listens again.
TEST_F(Instance, StaleSocketOfAnEndedCopyIsReplaced) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InstanceLock lock{};
        _exit(claimInstance(dir.c_str(), lock) == InstanceRole::first ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(access(path(instanceSocketName).c_str(), F_OK), 0);

    InstanceLock first{};
    ASSERT_EQ(claimInstance(dir.c_str(), first), InstanceRole::first);
    InstanceLock second{};
    EXPECT_EQ(claimInstance(dir.c_str(), second), InstanceRole::second);
    EXPECT_EQ(takeForwardRequests(first), 1);
    releaseInstance(first);
}

// The lock is held by another process that has not started listening yet
// (or never will): a second start still counts as second, after its retries.
TEST_F(Instance, LockHeldWithoutListenerIsStillSecond) {
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InstanceLock lock{};
        const bool first = claimInstance(dir.c_str(), lock) == InstanceRole::first;
        close(lock.listenFd);  // holds the lock but answers no one
        const char byte = first ? 'y' : 'n';
        if (write(ready[1], &byte, 1) != 1) _exit(2);
        char done = 0;
        if (read(release[0], &done, 1) < 0) _exit(3);
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'y');
    InstanceLock second{};
    EXPECT_EQ(claimInstance(dir.c_str(), second), InstanceRole::second);
    EXPECT_EQ(second.lockFd, -1);
    ASSERT_EQ(write(release[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Once the other process has gone, the next start is the first again.
    InstanceLock first{};
    EXPECT_EQ(claimInstance(dir.c_str(), first), InstanceRole::first);
    releaseInstance(first);
    for (const int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST_F(Instance, UnusableDirectoriesRunUnguarded) {
    const std::string missing = dir + "/no/such/dir";
    const std::string tooLong = "/" + std::string(instancePathCapacity, 'x');
    for (const std::string& bad : {missing, tooLong}) {
        SCOPED_TRACE(bad);
        InstanceLock lock{};
        EXPECT_EQ(claimInstance(bad.c_str(), lock), InstanceRole::unguarded);
        EXPECT_EQ(lock.lockFd, -1);
        EXPECT_EQ(lock.listenFd, -1);
    }
    InstanceLock none{};
    EXPECT_EQ(claimInstance(nullptr, none), InstanceRole::unguarded);
}

// ---- Finding the runtime directory

TEST_F(Instance, RuntimeDirFromTheEnvironmentOrAPrivateFolder) {
    const uid_t uid = getuid();
    std::array<char, instancePathCapacity> fromEnvironment{};
    ASSERT_TRUE(findRuntimeDir("/run/user/1000", dir.c_str(), uid, fromEnvironment));
    EXPECT_STREQ(fromEnvironment.data(), "/run/user/1000");

    const std::string expected = dir + "/wayloom-" + std::to_string(uid);
    const std::string tooLong = "/" + std::string(100, 'r');
    for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/dir", tooLong.c_str()}) {
        SCOPED_TRACE(xdg == nullptr ? "unset" : xdg);
        std::array<char, instancePathCapacity> found{};
        ASSERT_TRUE(findRuntimeDir(xdg, dir.c_str(), uid, found));
        EXPECT_EQ(std::string(found.data()), expected);
        struct stat status {};
        ASSERT_EQ(lstat(expected.c_str(), &status), 0);
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(status.st_mode & 0777, 0700u);
    }
    // A base folder or a buffer too long for the socket's address: none.
    const std::string longBase = "/" + std::string(instancePathCapacity - 10, 'b');
    std::array<char, instancePathCapacity> found{};
    EXPECT_FALSE(findRuntimeDir(nullptr, longBase.c_str(), uid, found));
    std::array<char, 4> tiny{};
    EXPECT_FALSE(findRuntimeDir("/run/user/1000", dir.c_str(), uid, tiny));
}

// $XDG_RUNTIME_DIR naming a folder that is missing, not a folder, or not
// writable (even by root) must not leave the copies unguarded.
TEST_F(Instance, UnusableRuntimeDirFallsBackToThePrivateFolder) {
    const std::string file = path("file");
    ASSERT_EQ(std::system(("touch '" + file + "'").c_str()), 0);
    for (const std::string& xdg : {path("missing"), file, std::string("/proc")}) {
        SCOPED_TRACE(xdg);
        InstanceLock first{};
        ASSERT_EQ(claimRuntimeInstance(xdg.c_str(), dir.c_str(), getuid(), first), InstanceRole::first);
        EXPECT_EQ(std::string(first.socketPath.data()),
                  path(("wayloom-" + std::to_string(getuid()) + "/" + instanceSocketName).c_str()));
        InstanceLock second{};
        EXPECT_EQ(claimRuntimeInstance(xdg.c_str(), dir.c_str(), getuid(), second), InstanceRole::second);
        EXPECT_EQ(takeForwardRequests(first), 1);
        releaseInstance(first);
    }
}

// In a shared folder, a name someone else prepared is not trusted: not when
// others may enter it, not when it is a symbolic link, not when it is a file.
TEST_F(Instance, RuntimeDirRefusesWhatOthersCouldHavePrepared) {
    const uid_t uid = getuid();
    const std::string fallback = dir + "/wayloom-" + std::to_string(uid);
    struct Case {
        const char* name;
        std::string prepare;
    };
    const Case cases[] = {
        {"open to others", "mkdir -m 0755 '" + fallback + "'"},
        {"symbolic link",
         "mkdir -m 0700 '" + dir + "/elsewhere' && ln -s '" + dir + "/elsewhere' '" + fallback + "'"},
        {"plain file", "touch '" + fallback + "'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string reset = "rm -rf '" + fallback + "' '" + dir + "/elsewhere'";
        ASSERT_EQ(std::system(reset.c_str()), 0);
        ASSERT_EQ(std::system(c.prepare.c_str()), 0);
        std::array<char, instancePathCapacity> found{};
        EXPECT_FALSE(findRuntimeDir(nullptr, dir.c_str(), uid, found));
        EXPECT_STREQ(found.data(), "");
    }
    // A folder of that name owned by another user is refused too.
    const std::string other = dir + "/wayloom-" + std::to_string(uid + 1);
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    std::array<char, instancePathCapacity> found{};
    EXPECT_FALSE(findRuntimeDir(nullptr, dir.c_str(), uid + 1, found));
}

}  // namespace
