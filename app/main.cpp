// The program's entry: one copy per user, then the main window in the
// terminal, or the headless runner when there is no terminal.
#include <unistd.h>
#include <csignal>
#include <cstdio>

#include "app/commandline.hpp"
#include "app/frontend.hpp"
#include "platform/instance.hpp"

int main(int argc, char** argv) {
    if (answerReporterCommandLine(argc, argv)) return 0;
    // A report server or a reader of standard output that goes away must give
    // a failed write, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    const bool terminal = isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0;

    InstanceLock instance{-1, -1, {}};
    if (claimUserInstance(instance) == InstanceRole::second) {
        std::puts("Wayloom already runs.");
        return 0;
    }
    return terminal ? runTerminalFrontEnd(instance) : runHeadlessFrontEnd(instance);
}
