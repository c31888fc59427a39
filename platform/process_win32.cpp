// The process on Windows: the choice of front end from the command line, and
// standard output, which a program of the window subsystem has only when it
// was given one (redirected) or borrows its parent's console.
#include "platform/process.hpp"

#include <windows.h>

#include <algorithm>
#include <cstring>

static bool hasStandardOutput() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return output != nullptr && output != INVALID_HANDLE_VALUE;
}

FrontEndKind startProcess(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") != 0) continue;
        // Started from a console without redirection: write into that console.
        if (!hasStandardOutput() && AttachConsole(ATTACH_PARENT_PROCESS)) {
            SetStdHandle(STD_OUTPUT_HANDLE,
                         CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        }
        return FrontEndKind::headless;
    }
    return FrontEndKind::window;
}

bool writeStandardOutput(std::span<const char> bytes) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
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

void endProcess(int code) {
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
