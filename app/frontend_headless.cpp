// The program without a terminal, as a service runs it: every line appended
// to the status log is written to standard output as one line, the clearing
// of the log as an empty line, and "Start" is chosen at once since no one is
// there to press it.
//
// The window model's listener queues the line, on the thread that appended it
// and while the model is locked, so lines come out whole and in order; a
// writer thread of its own writes them, so an output that nobody reads never
// holds up the report cycle or the program's end (platform/output.hpp).
// Failures that the log names only by a fixed text also get a line on
// standard error (platform/diagnostics.hpp). The main thread waits for a
// closing signal, a request to come forward (which a service has no way to
// follow, so it is only taken), or the report cycle giving "Start" back.
#include <array>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <string_view>

#include "app/frontend.hpp"
#include "app/mainwindow.hpp"
#include "platform/diagnostics.hpp"
#include "platform/events.hpp"
#include "platform/output.hpp"
#include "platform/process.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

// One line as the log holds it, in the locale's multibyte encoding, and its LF.
constexpr std::size_t outputLineCapacity = controlTextCapacity * MB_LEN_MAX + 1;

struct HeadlessFrontEnd {
    FrontEndEvents events;
    std::array<char, outputLineCapacity> line;
};

static HeadlessFrontEnd headless;

// How long the end of the program waits for status lines still queued for a
// slow or stalled output.
constexpr int exitDrainMilliseconds = 1000;

static void writeLine(std::wstring_view text) {
    std::mbstate_t state{};
    std::size_t length = 0;
    for (const wchar_t c : text) {
        if (length + MB_LEN_MAX + 1 > headless.line.size()) break;
        const std::size_t converted = std::wcrtomb(&headless.line[length], c, &state);
        if (converted == static_cast<std::size_t>(-1)) {
            headless.line[length++] = '?';
            state = std::mbstate_t{};
        } else {
            length += converted;
        }
    }
    headless.line[length++] = '\n';
    queueOutputLine(OutputStream::standardOutput, std::span<const char>(headless.line.data(), length));
}

// Listener: the status log's last line, or an empty line when it was cleared;
// "Start" coming back wakes the main thread.
static void printChange(const WindowChange& change, void*) {
    if (change.id == statusLogControl) {
        writeLine(lastLogLine(change.text));
    } else if (change.id == startCommand && change.enabled) {
        wakeFrontEnd(headless.events);
    }
}

// Standard output and standard error, or both lines and diagnostics into log.
static bool startOutputs(OutputWrite log) {
    if (log != nullptr) {
        if (!startOutputWriterWith(OutputStream::standardOutput, log)) return false;
        enableDiagnosticsIn(OutputStream::standardOutput);
        return true;
    }
    return startOutputWriter(OutputStream::standardOutput, standardOutputFd) &&
           enableDiagnostics(standardErrorFd);
}

int runHeadlessFrontEnd(InstanceLock& instance, OutputWrite log) {
    std::setlocale(LC_ALL, "");
    if (!openFrontEndEvents(headless.events, false) || !startOutputs(log)) {
        std::fputs("wayloom: cannot set up the event loop\n", stderr);
        return -1;
    }
    if (!initMainWindow()) return -1;
    onActivate();
    setWindowChangeListener(printChange, nullptr);
    if (!onStartCommand()) {
        releaseInstance(instance);
        drainOutput(exitDrainMilliseconds);
        return 1;
    }
    for (;;) {
        const ReadyEvents ready = waitForFrontEndEvents(headless.events, instance, false);
        if (ready.close) onClose();
        if (ready.forward) takeForwardRequests(instance);
        // The report cycle ends only when the GPS port could not be opened;
        // with no one to choose "Start" again, the program ends and says so
        // with its exit code, so that a service manager can start it again.
        const bool cycleEnded = runState.load() == 1;
        if (mainWindow.ended || cycleEnded) {
            releaseInstance(instance);
            drainOutput(exitDrainMilliseconds);
            endProcess(mainWindow.ended ? mainWindow.result : 1);
        }
    }
}
