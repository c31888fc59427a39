// The process and its standard streams: how the program was started, writing
// to standard output, and ending or stopping the process.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// How the program shows itself.
enum class FrontEndKind {
    window,    // the main window: the terminal (Linux) or a dialog (Windows)
    headless,  // status lines on standard output, "Start" chosen at once
};

// Linux: the window when standard input and output are both terminals,
// headless otherwise. Windows: headless for the console build
// (wayloom-headless.exe) or when started with --headless, the window
// otherwise. Also makes a vanished reader of standard output or a
// report server give a failed write instead of ending the process (SIGPIPE).
FrontEndKind startProcess(int argc, char** argv);

// The descriptors of standard output and standard error (the C runtime's on
// Windows).
constexpr int standardOutputFd = 1;
constexpr int standardErrorFd = 2;

// One write of bytes to descriptor fd: the number of bytes written, or -1 with
// error set to the errno value (EINTR, EAGAIN, EPIPE ...).
long writeDescriptor(int fd, std::span<const char> bytes, int& error);

// Waits at most waitMilliseconds until fd takes bytes again (a non-blocking
// output that was full).
void waitForRoomOn(int fd, int waitMilliseconds);

// Writes all of bytes to standard output, finishing short writes; false when
// some could not be written (no reader: the rest is lost).
bool writeStandardOutput(std::span<const char> bytes);

// Ends the process at once with code, abandoning every other thread.
[[noreturn]] void endProcess(int code);

// Stops the process until it is continued (Ctrl-Z in a terminal).
void stopProcess();

// The terminal's size in rows and columns; false when it cannot be read.
bool terminalSize(int& rows, int& columns);

#ifdef _WIN32
// For the window build: the console of the prompt that started it, for its
// messages, when its standard output is not redirected. The prompt does not
// wait for it (wayloom-headless.exe is the console build). False when there
// is neither.
bool attachParentConsole();

// Writes all of bytes to standard error; false when some could not be written.
bool writeStandardError(std::span<const char> bytes);

// Makes endProcess call before first, with its code (a service says that it
// has stopped); null for nothing.
void callBeforeEnd(void (*before)(int code));

// The system's text for a Windows error code (GetLastError, WSAGetLastError),
// in text, without its line end; "error N" when the system has none.
std::string_view windowsErrorText(unsigned long error, std::span<char> text);
#endif
