// The process and its standard streams: how the program was started, writing
// to standard output, and ending or stopping the process.
#pragma once

#include <cstddef>
#include <span>

// How the program shows itself.
enum class FrontEndKind {
    window,    // the main window: the terminal (Linux) or a dialog (Windows)
    headless,  // status lines on standard output, "Start" chosen at once
};

// Linux: the window when standard input and output are both terminals,
// headless otherwise. Windows: headless when started with --headless, the
// window otherwise. Also makes a vanished reader of standard output or a
// report server give a failed write instead of ending the process (SIGPIPE).
FrontEndKind startProcess(int argc, char** argv);

// Writes all of bytes to standard output, finishing short writes; false when
// some could not be written (no reader: the rest is lost).
bool writeStandardOutput(std::span<const char> bytes);

// Ends the process at once with code, abandoning every other thread.
[[noreturn]] void endProcess(int code);

// Stops the process until it is continued (Ctrl-Z in a terminal).
void stopProcess();

// The terminal's size in rows and columns; false when it cannot be read.
bool terminalSize(int& rows, int& columns);
