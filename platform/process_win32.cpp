// The process on Windows: the choice of front end from the command line, and
// standard output, which a program of the window subsystem has only when it
// was given one (redirected) or borrows its parent's console.
#include "platform/process.hpp"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

static bool hasStandardOutput() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return output != nullptr && output != INVALID_HANDLE_VALUE;
}

// True for the console build (wayloom-headless.exe): the subsystem in the
// running image's own header.
static bool isConsoleProgram() {
    const auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

bool attachParentConsole() {
    if (hasStandardOutput()) return true;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    const HANDLE console =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    SetStdHandle(STD_OUTPUT_HANDLE, console);
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    const bool noError = error == nullptr || error == INVALID_HANDLE_VALUE;
    if (noError) SetStdHandle(STD_ERROR_HANDLE, console);
    // The C runtime took its descriptors from the handles at the start, when
    // a program of the window subsystem has none: give it the console too.
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(console), _O_TEXT);
    if (fd >= 0) {
        _dup2(fd, standardOutputFd);
        if (noError) _dup2(fd, standardErrorFd);
    }
    return true;
}

FrontEndKind startProcess(int argc, char** argv) {
    // A console program has the console of the prompt that started it, which
    // waits for it and gets its exit status; it never shows the window.
    if (isConsoleProgram()) return FrontEndKind::headless;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") != 0) continue;
        // Started from a console without redirection: write into that console.
        attachParentConsole();
        return FrontEndKind::headless;
    }
    return FrontEndKind::window;
}

// WriteFile on the descriptor's handle: the C runtime's _write would turn
// every LF into CR LF on a descriptor in text mode.
long writeDescriptor(int fd, std::span<const char> bytes, int& error) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        error = EBADF;
        return -1;
    }
    DWORD written = 0;
    const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
    if (!WriteFile(handle, bytes.data(), size, &written, nullptr)) {
        const DWORD failure = GetLastError();
        error = failure == ERROR_BROKEN_PIPE || failure == ERROR_NO_DATA ? EPIPE : EIO;
        return -1;
    }
    error = 0;
    return static_cast<long>(written);
}

void waitForRoomOn(int, int waitMilliseconds) {
    // Outputs on Windows block instead of reporting that they are full; a
    // short pause keeps a writer that is told otherwise from spinning.
    Sleep(static_cast<DWORD>(std::min(waitMilliseconds, 100)));
}

static bool writeHandle(DWORD which, std::span<const char> bytes) {
    const HANDLE output = GetStdHandle(which);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
    std::size_t written = 0;
    while (written < bytes.size()) {
        DWORD count = 0;
        const auto ask = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1u << 20));
        if (!WriteFile(output, bytes.data() + written, ask, &count, nullptr) || count == 0) return false;
        written += count;
    }
    return true;
}

bool writeStandardOutput(std::span<const char> bytes) {
    return writeHandle(STD_OUTPUT_HANDLE, bytes);
}

bool writeStandardError(std::span<const char> bytes) {
    return writeHandle(STD_ERROR_HANDLE, bytes);
}

static void (*beforeEnd)(int code) = nullptr;

void callBeforeEnd(void (*before)(int code)) {
    beforeEnd = before;
}

void endProcess(int code) {
    if (beforeEnd != nullptr) beforeEnd(code);
    // As _exit on Linux: no other thread runs on, nothing is released piecemeal.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    ExitProcess(static_cast<UINT>(code));  // not reached
}

void stopProcess() {
    // Windows has no job control: Ctrl-Z never reaches a program.
}

bool terminalSize(int&, int&) {
    return false;  // the terminal window exists only on Linux
}

std::string_view windowsErrorText(unsigned long error, std::span<char> text) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                  0, text.data(), static_cast<DWORD>(text.size()), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.'))
        --length;
    if (length == 0) {
        const int written = std::snprintf(text.data(), text.size(), "error %lu", error);
        length = static_cast<DWORD>(std::clamp(written, 0, static_cast<int>(text.size()) - 1));
    }
    return {text.data(), length};
}
