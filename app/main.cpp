// The program's entry: one copy per user, then the main window, or the
// headless runner when there is no one to see it.
#include <cstdio>

#include "app/commandline.hpp"
#include "app/frontend.hpp"
#include "platform/instance.hpp"
#include "platform/process.hpp"

int main(int argc, char** argv) {
    if (answerReporterCommandLine(argc, argv)) return 0;
    const FrontEndKind kind = startProcess(argc, argv);

    InstanceLock instance = noInstanceLock();
    if (claimUserInstance(instance) == InstanceRole::second) {
        std::puts("Wayloom already runs.");
        return 0;
    }
    return kind == FrontEndKind::window ? runWindowFrontEnd(instance) : runHeadlessFrontEnd(instance);
}
