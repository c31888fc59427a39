// The Windows service: the Service Control Manager's calls for registering
// and removing it, and the dispatcher, the handler and the status reports of
// a running service. A stop or shut-down asks the front end to close, as
// Ctrl-C does; the status "stopped" goes out from endProcess, just before the
// process ends, with the program's code, so that a failure (the GPS port
// could not be opened) counts as one and the manager restarts the service.
//
// Divisions: registering; removing; running.
#include "platform/service.hpp"

#include <windows.h>

#include <array>
#include <thread>

#include "platform/events.hpp"
#include "platform/process.hpp"

namespace {

constexpr std::size_t commandCapacity = MAX_PATH + 32;  // the quoted path and " --service"
constexpr const wchar_t* displayName = L"Wayloom GPS position reporter";
constexpr const wchar_t* descriptionText =
    L"Reads the GPS receiver and reports the position to the report server; the status log goes to "
    L"wayloom.log beside the program.";
constexpr DWORD pendingWaitHintMs = 5000;  // the program's end waits at most a second for its output

// The Service Control Manager's handles, closed when they leave scope.
struct ScHandle {
    SC_HANDLE handle;
    explicit ScHandle(SC_HANDLE opened) : handle(opened) {}
    ~ScHandle() {
        if (handle != nullptr) CloseServiceHandle(handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
};

// ---- Registering

// Restart after every failure, after serviceRestartDelay, also when the
// program ended by itself with an error code rather than crashing. The
// Windows error code; ERROR_INVALID_LEVEL from a service manager that keeps
// no such settings (Wine's).
DWORD setRestartOnFailure(SC_HANDLE service) {
    constexpr DWORD delayMs = static_cast<DWORD>(std::chrono::milliseconds(serviceRestartDelay).count());
    std::array<SC_ACTION, 3> actions{
        {{SC_ACTION_RESTART, delayMs}, {SC_ACTION_RESTART, delayMs}, {SC_ACTION_RESTART, delayMs}}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = static_cast<DWORD>(serviceFailureReset.count());
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.data();
    SERVICE_FAILURE_ACTIONS_FLAG onExitCode{TRUE};
    const bool set = ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) &&
                     ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExitCode);
    return set ? 0 : GetLastError();
}

}  // namespace

unsigned long installService(bool& restartsOnFailure) {
    restartsOnFailure = false;
    std::array<wchar_t, MAX_PATH> program{};
    const DWORD length = GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
    if (length == 0 || length >= program.size()) return ERROR_FILENAME_EXCED_RANGE;
    std::array<wchar_t, commandCapacity> command{};
    swprintf(command.data(), command.size(), L"\"%ls\" --service", program.data());
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (manager.handle == nullptr) return GetLastError();
    const ScHandle service(CreateServiceW(manager.handle, serviceName, displayName, SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                          command.data(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service.handle == nullptr) return GetLastError();
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(descriptionText)};
    ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_DESCRIPTION, &description);
    const DWORD restart = setRestartOnFailure(service.handle);
    if (restart != 0 && restart != ERROR_INVALID_LEVEL) return restart;
    restartsOnFailure = restart == 0;
    if (!StartServiceW(service.handle, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return GetLastError();
    return 0;
}

// ---- Removing

unsigned long removeService() {
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.handle == nullptr) return GetLastError();
    const ScHandle service(
        OpenServiceW(manager.handle, serviceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (service.handle == nullptr) return GetLastError();
    SERVICE_STATUS status{};
    if (ControlService(service.handle, SERVICE_CONTROL_STOP, &status)) {
        const auto deadline = std::chrono::steady_clock::now() + serviceStopWait;
        while (QueryServiceStatus(service.handle, &status) && status.dwCurrentState != SERVICE_STOPPED &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return DeleteService(service.handle) ? 0 : GetLastError();
}

// ---- Running

namespace {

struct RunningService {
    SERVICE_STATUS_HANDLE statusHandle;
    int (*body)();
};

RunningService running;

void setState(DWORD state, int code) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(code);
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? pendingWaitHintMs : 0;
    SetServiceStatus(running.statusHandle, &status);
}

void reportStopped(int code) {
    setState(SERVICE_STOPPED, code);
}

DWORD WINAPI onControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            setState(SERVICE_STOP_PENDING, 0);
            requestFrontEndClose();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    running.statusHandle = RegisterServiceCtrlHandlerExW(serviceName, onControl, nullptr);
    if (running.statusHandle == nullptr) endProcess(1);
    callBeforeEnd(reportStopped);
    setState(SERVICE_RUNNING, 0);
    endProcess(running.body());
}

}  // namespace

unsigned long runAsService(int (*body)()) {
    running.body = body;
    std::array<SERVICE_TABLE_ENTRYW, 2> table{
        {{const_cast<wchar_t*>(serviceName), serviceMain}, {nullptr, nullptr}}};
    if (!StartServiceCtrlDispatcherW(table.data())) return GetLastError();
    // The dispatcher returns once the service has stopped, which happens only
    // in endProcess, on the service's thread, just before the process ends.
    for (;;) Sleep(INFINITE);
}
