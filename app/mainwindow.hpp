// The main window: its template, its state and the handling of its commands
// and keys, apart from any drawing. A front end (the terminal, or the headless
// runner) owns the screen and the event loop; it turns what the user does into
// the calls below and draws what the window model and mainWindow hold.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

// The dialog template: 165 by 130 dialog units and three controls.
constexpr int dialogWidth = 165;
constexpr int dialogHeight = 130;

struct DialogRect {
    int x, y, width, height;  // dialog units
};

constexpr DialogRect statusLogRect{1, 3, 159, 55};
constexpr DialogRect aboutTextRect{26, 76, 94, 25};
constexpr DialogRect aboutFrameRect{18, 66, 128, 42};

constexpr std::wstring_view mainWindowCaption = L"Wayloom";
constexpr std::wstring_view aboutFrameCaption = L"About";
constexpr std::array<std::wstring_view, 3> aboutLines{L"Wayloom v1.2", L"GPS position reporter",
                                                      L"F2 Start, F1 Exit"};

// A rectangle of character cells: column and row of its top left cell.
struct CellRect {
    int column, row, columns, rows;
};

// Scales a template rectangle to a client area of columns by rows cells. Both
// edges are rounded to the nearest cell, so rectangles that do not overlap in
// dialog units do not overlap in cells; the result lies inside the area and may
// be empty (0 columns or rows) when the area is small.
CellRect scaleDialogRect(DialogRect rect, int columns, int rows);

// What the user can do in the window, as the front end reports it.
enum class WindowKey {
    leftSoftKey,   // F1: "Exit"
    rightSoftKey,  // F2: "Start"
    back,          // Esc, the handheld's Back key
    scrollLeft,
    scrollRight,
    other,
};

// The window beyond the window model: the caption, which control has the
// focus, how far the status log is scrolled sideways, and whether the dialog
// has ended with which result. Used by the window thread only.
struct MainWindow {
    std::wstring_view caption;
    int focusControl;      // 0 before the first activation
    int horizontalOffset;  // columns of the status log scrolled out on the left
    bool ended;
    int result;  // the dialog's result once ended: 0, or -1 after a failed start
};

extern MainWindow mainWindow;

// Opens the window: menu bar with both commands enabled, empty status log,
// caption, settings loaded from settings.ini. Returns true (a missing settings
// file is no failure).
bool initMainWindow();

// Activation gives the keyboard focus to the status log.
void onActivate();

// "Start": ignored unless runState is 1; otherwise disables "Start", empties
// the log and runs the report cycle on a new thread. Returns true when a cycle
// was started.
bool onStartCommand();

// "Exit" and closing the window end the dialog with result 0.
void onExitCommand();
void onClose();

// The Back key is handed back to the focus window: nothing in this window
// closes or changes.
void onBackKey();

// Dispatches a command of the menu bar (101 Start, 102 Exit); other commands,
// such as the caption's OK button, are not handled: returns false.
bool onCommand(int command);

// Handles one key: soft keys choose their commands, Back is passed on, Left
// and Right scroll the status log when it has the focus. longestLine and
// visibleColumns bound the scrolling. Returns true when something changed.
bool onKey(WindowKey key, int longestLine, int visibleColumns);

// Keeps the horizontal offset within 0 .. longestLine - visibleColumns, for
// when the text or the window size changed.
void clampHorizontalOffset(int longestLine, int visibleColumns);

// Splits the status log's text at CR LF into lines (views into text); returns
// how many lines there are, at most lines.size(); a text without CR LF is one
// line, an empty text none.
std::size_t splitLogLines(std::wstring_view text, std::span<std::wstring_view> lines);

// The part of the text after its last CR LF: the line last appended.
std::wstring_view lastLogLine(std::wstring_view text);

// Columns of the menu bar: "Exit" starts at column 1, "Start" ends one column
// before the right edge. hitMenuBar gives the command whose label covers the
// column, or 0.
struct MenuBarLayout {
    int exitColumn, exitColumns, startColumn, startColumns;
};
MenuBarLayout layoutMenuBar(int columns, int exitLabelLength, int startLabelLength);
int hitMenuBar(const MenuBarLayout& layout, int column);
