// The main window's behaviour, apart from its drawing: opening it, the
// commands of its menu bar, the Back key, the focus and the sideways scrolling
// of the status log, and the geometry of its template scaled to a terminal.
//
// Divisions: geometry; window state and commands; keys; the status log's lines;
// the menu bar's columns.
#include "app/mainwindow.hpp"

#include <algorithm>
#include <system_error>
#include <thread>

#include "report/cycle.hpp"
#include "settings/settings.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

MainWindow mainWindow{mainWindowCaption, 0, 0, false, 0};

// ---- Geometry

// Nearest cell to a position in dialog units, with halves rounded up.
static int scaleEdge(int units, int cells, int totalUnits) {
    const long long scaled = 2LL * units * cells + totalUnits;
    return static_cast<int>(scaled / (2LL * totalUnits));
}

CellRect scaleDialogRect(DialogRect rect, int columns, int rows) {
    columns = std::max(columns, 0);
    rows = std::max(rows, 0);
    const int left = scaleEdge(rect.x, columns, dialogWidth);
    const int top = scaleEdge(rect.y, rows, dialogHeight);
    const int right = scaleEdge(rect.x + rect.width, columns, dialogWidth);
    const int bottom = scaleEdge(rect.y + rect.height, rows, dialogHeight);
    return CellRect{left, top, right - left, bottom - top};
}

// ---- Window state and commands

bool initMainWindow() {
    resetWindowModel();  // the menu bar with both commands enabled, the log empty
    mainWindow = MainWindow{mainWindowCaption, 0, 0, false, 0};
    loadSettings();
    return true;
}

void onActivate() {
    mainWindow.focusControl = statusLogControl;
}

static void reportCycleThread() {
    runReportCycle();
}

bool onStartCommand() {
    // Only this thread accepts "Start", and the report cycle sets runState back
    // to 1 only after it has ended, so the test and the toggle cannot be split.
    if (runState.load() != 1) return false;
    toggleRunState();
    clearStatusLog();
    // std::thread tells of a thread it could not create only by throwing;
    // "Start" then comes back instead of the program aborting.
    try {
        std::thread(reportCycleThread).detach();
    } catch (const std::system_error&) {
        toggleRunState();
        return false;
    }
    return true;
}

void onExitCommand() {
    mainWindow.ended = true;
    mainWindow.result = 0;
}

void onClose() {
    onExitCommand();
}

void onBackKey() {
    // Handed back to the focus window, which is this one: nothing to do, and
    // in particular the window is neither closed nor hidden.
}

bool onCommand(int command) {
    switch (command) {
        case startCommand:
            onStartCommand();
            return true;
        case exitCommand:
            onExitCommand();
            return true;
        default:
            return false;
    }
}

// ---- Keys

void clampHorizontalOffset(int longestLine, int visibleColumns) {
    const int limit = std::max(longestLine - std::max(visibleColumns, 0), 0);
    mainWindow.horizontalOffset = std::clamp(mainWindow.horizontalOffset, 0, limit);
}

static bool scrollLog(int delta, int longestLine, int visibleColumns) {
    if (mainWindow.focusControl != statusLogControl) return false;
    const int before = mainWindow.horizontalOffset;
    mainWindow.horizontalOffset += delta;
    clampHorizontalOffset(longestLine, visibleColumns);
    return mainWindow.horizontalOffset != before;
}

bool onKey(WindowKey key, int longestLine, int visibleColumns) {
    switch (key) {
        case WindowKey::leftSoftKey:
            return onCommand(exitCommand);
        case WindowKey::rightSoftKey:
            return onStartCommand();
        case WindowKey::back:
            onBackKey();
            return false;
        case WindowKey::scrollLeft:
            return scrollLog(-1, longestLine, visibleColumns);
        case WindowKey::scrollRight:
            return scrollLog(1, longestLine, visibleColumns);
        case WindowKey::other:
            return false;
    }
    return false;
}

// ---- The status log's lines

constexpr std::wstring_view lineSeparator = L"\r\n";

std::size_t splitLogLines(std::wstring_view text, std::span<std::wstring_view> lines) {
    if (text.empty()) return 0;
    std::size_t count = 0;
    while (count < lines.size()) {
        const std::size_t end = text.find(lineSeparator);
        lines[count++] = text.substr(0, end);
        if (end == std::wstring_view::npos) break;
        text.remove_prefix(end + lineSeparator.size());
    }
    return count;
}

std::wstring_view lastLogLine(std::wstring_view text) {
    const std::size_t separator = text.rfind(lineSeparator);
    if (separator == std::wstring_view::npos) return text;
    return text.substr(separator + lineSeparator.size());
}

// ---- The menu bar's columns

MenuBarLayout layoutMenuBar(int columns, int exitLabelLength, int startLabelLength) {
    columns = std::max(columns, 0);
    MenuBarLayout layout{};
    layout.exitColumn = std::min(1, columns);
    layout.exitColumns = std::clamp(exitLabelLength, 0, columns - layout.exitColumn);
    const int firstFree = std::min(layout.exitColumn + layout.exitColumns + 1, columns);
    layout.startColumn = std::max(columns - 1 - startLabelLength, firstFree);
    layout.startColumns = std::clamp(startLabelLength, 0, columns - layout.startColumn);
    return layout;
}

int hitMenuBar(const MenuBarLayout& layout, int column) {
    if (column >= layout.exitColumn && column < layout.exitColumn + layout.exitColumns) return exitCommand;
    if (column >= layout.startColumn && column < layout.startColumn + layout.startColumns)
        return startCommand;
    return 0;
}
