// The program's entry on Windows: the service's commands, the service
// itself, and otherwise as on Linux one copy per user, then the window, or
// the headless runner (--headless, or the console build wayloom-headless.exe).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/commandline.hpp"
#include "app/frontend.hpp"
#include "platform/files.hpp"
#include "platform/instance.hpp"
#include "platform/logfile.hpp"
#include "platform/process.hpp"
#include "platform/service.hpp"

namespace {

constexpr std::string_view logFileName = "wayloom.log";

bool hasArgument(int argc, char** argv, std::string_view wanted) {
    for (int i = 1; i < argc; ++i) {
        if (wanted == argv[i]) return true;
    }
    return false;
}

// "wayloom: WHAT: REASON" on standard error, or done on standard output;
// the exit code: 0, or 1 for a failure.
int sayOutcome(std::string_view done, std::string_view what, unsigned long error) {
    std::array<char, 320> line{};
    std::array<char, 160> reason{};
    const std::string_view because = windowsErrorText(error, reason);
    const int length =
        error == 0
            ? std::snprintf(line.data(), line.size(), "%.*s\n", static_cast<int>(done.size()), done.data())
            : std::snprintf(line.data(), line.size(), "wayloom: %.*s: %.*s\n", static_cast<int>(what.size()),
                            what.data(), static_cast<int>(because.size()), because.data());
    const std::span<const char> text(line.data(), static_cast<std::size_t>(std::max(length, 0)));
    if (error == 0) {
        writeStandardOutput(text);
        return 0;
    }
    writeStandardError(text);
    return 1;
}

// The service's work: headless, the status and diagnostic lines in
// wayloom.log beside the program (and its settings). Not one copy per user:
// the service is no user's, and Windows keeps it apart from the users'
// sessions.
int runServiceWork() {
    std::array<char, executablePathCapacity + logFileName.size() + 1> path{};
    std::size_t length = executablePath(std::span<char>(path.data(), executablePathCapacity));
    while (length > 0 && path[length - 1] != '/') --length;
    if (length == 0) return 1;
    std::copy(logFileName.begin(), logFileName.end(), path.begin() + static_cast<std::ptrdiff_t>(length));
    path[length + logFileName.size()] = '\0';
    if (openLogFile(path.data(), serviceLogCapacity) != 0) return 1;
    InstanceLock none = noInstanceLock();
    return runHeadlessFrontEnd(none, writeLogFile);
}

}  // namespace

int main(int argc, char** argv) {
    const bool serviceCommand = hasArgument(argc, argv, "--install-service") ||
                                hasArgument(argc, argv, "--remove-service") ||
                                hasArgument(argc, argv, "--service");
    // The window build's messages go to the prompt that started it.
    if (serviceCommand || hasArgument(argc, argv, "--help") || hasArgument(argc, argv, "--version"))
        attachParentConsole();
    if (answerReporterCommandLine(argc, argv)) return 0;
    if (hasArgument(argc, argv, "--install-service")) {
        bool restarts = false;
        const int code = sayOutcome("Wayloom service installed and started.", "cannot install the service",
                                    installService(restarts));
        if (code == 0 && !restarts)
            writeStandardError(
                std::string_view("wayloom: this service manager cannot restart the service after a "
                                 "failure\n"));
        return code;
    }
    if (hasArgument(argc, argv, "--remove-service"))
        return sayOutcome("Wayloom service removed.", "cannot remove the service", removeService());
    if (hasArgument(argc, argv, "--service"))
        return sayOutcome("", "--service is for the service manager", runAsService(runServiceWork));

    const FrontEndKind kind = startProcess(argc, argv);
    InstanceLock instance = noInstanceLock();
    if (claimUserInstance(instance) == InstanceRole::second) {
        std::puts("Wayloom already runs.");
        return 0;
    }
    return kind == FrontEndKind::window ? runWindowFrontEnd(instance) : runHeadlessFrontEnd(instance);
}
