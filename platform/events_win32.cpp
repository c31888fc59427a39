// The front ends' events on Windows: an auto-reset event carries the
// wake-ups, and a console control handler turns Ctrl-C, Ctrl-Break and the
// console's closing into a request to close.
#include "platform/events.hpp"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<bool> closeRequested{false};
std::atomic<HANDLE> closeWake{nullptr};

// Runs on a thread of its own. For the console closing, log-off and shut-down
// Windows ends the process when the handler returns, so it waits there for
// the front end to end the process first.
BOOL WINAPI onConsoleControl(DWORD kind) {
    requestFrontEndClose();
    if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT) Sleep(5000);
    return TRUE;
}

}  // namespace

void requestFrontEndClose() {
    closeRequested.store(true);
    if (HANDLE wake = closeWake.load(); wake != nullptr) SetEvent(wake);
}

bool openFrontEndEvents(FrontEndEvents& events, bool) {
    events.wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (events.wakeEvent == nullptr) return false;
    closeWake.store(events.wakeEvent);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);  // fails harmlessly without a console
    return true;
}

void wakeFrontEnd(const FrontEndEvents& events) {
    SetEvent(events.wakeEvent);
}

ReadyEvents waitForFrontEndEvents(const FrontEndEvents& events, const InstanceLock&, bool) {
    ReadyEvents ready{false, false, false, false, false, false};
    if (!closeRequested.load())
        ready.woken = WaitForSingleObject(events.wakeEvent, INFINITE) == WAIT_OBJECT_0;
    ready.close = closeRequested.exchange(false);
    return ready;
}
