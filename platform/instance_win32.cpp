// One running copy per user on Windows: a second start brings the first
// copy's window forward by its caption, as on the handheld. A named mutex in
// the session also stops a second copy while the first has no window (it runs
// headless, or has not shown its window yet).
#include "platform/instance.hpp"

#include <windows.h>

namespace {

constexpr const wchar_t* dialogClass = L"#32770";
constexpr const wchar_t* windowCaption = L"Wayloom";  // the main window's caption
constexpr const wchar_t* mutexName = L"Local\\Wayloom.instance";

}  // namespace

InstanceLock noInstanceLock() {
    return InstanceLock{nullptr};
}

InstanceRole claimUserInstance(InstanceLock& lock) {
    lock = noInstanceLock();
    if (HWND window = FindWindowW(dialogClass, windowCaption); window != nullptr) {
        if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
        SetForegroundWindow(window);
        return InstanceRole::second;
    }
    HANDLE mutex = CreateMutexW(nullptr, FALSE, mutexName);
    if (mutex == nullptr) return InstanceRole::unguarded;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return InstanceRole::second;
    }
    lock.mutex = mutex;
    return InstanceRole::first;
}

int takeForwardRequests(const InstanceLock&) {
    return 0;
}

void releaseInstance(InstanceLock& lock) {
    if (lock.mutex != nullptr) CloseHandle(lock.mutex);
    lock = noInstanceLock();
}
