// The program as a Windows service: registering it with the Service Control
// Manager, removing it, and running under it.
#pragma once

#include <chrono>

// The service's name, as sc and net know it.
constexpr const wchar_t* serviceName = L"Wayloom";
// After a failure (the program ended with a code other than 0) the manager
// starts it again after this long, each time; the count of failures is
// forgotten after a day without one.
constexpr std::chrono::seconds serviceRestartDelay{60};
constexpr std::chrono::seconds serviceFailureReset{24 * 60 * 60};
// How long removing the service waits for a running one to stop: the time
// the program's end waits for its output, and more.
constexpr std::chrono::milliseconds serviceStopWait{15000};

// Registers the running executable, with --service, as the service: started
// automatically at boot as LocalSystem, restarted after a failure; then
// starts it. The Windows error code, 0 on success (an existing service is
// ERROR_SERVICE_EXISTS). restartsOnFailure is false when the service manager
// keeps no restart settings (Wine's): the service is installed without them.
unsigned long installService(bool& restartsOnFailure);

// Stops the service if it runs and removes it; the Windows error code, 0 on
// success (ERROR_SERVICE_DOES_NOT_EXIST when there is none).
unsigned long removeService();

// Runs body as the service's work, on the thread the service manager starts
// for it; body's end, or endProcess on another path, tells the manager that
// the service stopped, with body's code as the service's own error code
// (0: stopped as asked). Returns only when the process was not started by the
// service manager, with the Windows error code.
unsigned long runAsService(int (*body)());
