// The main window in a terminal, full screen, drawn with ncursesw.
//
// Row 0 is the caption bar, the last row the menu bar ("Exit" left, "Start"
// right); the rows between are the dialog's client area, in which the status
// log and the about box take the places the template gives them, scaled to the
// terminal. Only this thread touches ncurses: the window model's listener,
// which runs on whatever thread changed the model, merely writes a byte to the
// wake-up pipe, and this thread then reads the model and redraws. The closing
// signals, SIGWINCH and SIGTSTP arrive through a signalfd, so no signal
// handler runs, ncurses' own included.
//
// Divisions: state; the terminal title; drawing; input; the event loop.
#define NCURSES_WIDECHAR 1
#include <curses.h>

#include <algorithm>
#include <array>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "app/frontend.hpp"
#include "app/mainwindow.hpp"
#include "platform/events.hpp"
#include "platform/process.hpp"
#include "status/statuslog.hpp"
#include "status/strings.hpp"
#include "status/window.hpp"

constexpr int escapeDelayMs = 25;  // Esc alone is told from a key's escape sequence within this time
constexpr std::size_t maxLogLines = controlTextCapacity / 2 + 1;  // every further line costs its CR LF
constexpr std::size_t titleCapacity = 64;  // bytes of the caption in the terminal's encoding

// ---- State

struct TerminalFrontEnd {
    FrontEndEvents events;
    InstanceLock* instance;
    bool titleStack;  // the terminal keeps a stack of titles (xterm's CSI 22 t / 23 t)
    std::array<wchar_t, controlTextCapacity> logText;
    std::array<std::wstring_view, maxLogLines> logLines;
    std::array<wchar_t, messageTextCapacity> exitLabel;
    std::array<wchar_t, messageTextCapacity> startLabel;
    int exitLabelLength;
    int startLabelLength;
    int longestLine;     // columns of the longest status log line at the last drawing
    int visibleColumns;  // columns of the status log's text area at the last drawing
};

static TerminalFrontEnd front;

// ---- The terminal title

static bool present(const char* capability) {
    return capability != nullptr && capability != reinterpret_cast<const char*>(-1);
}

static void writeAll(const char* bytes, std::size_t length) {
    writeStandardOutput(std::span<const char>(bytes, length));
}

static void writeText(const char* text) {
    writeAll(text, std::strlen(text));
}

// The sequence that starts a title: a status line that is really the title
// (tmux: tsl, or its TS), or xterm's OSC 0 where the terminal declares XT.
static const char* titleStart() {
    const char* statusLine = tigetstr("tsl");
    if (present(statusLine) && std::strncmp(statusLine, "\033]", 2) == 0) return statusLine;
    const char* title = tigetstr("TS");
    if (present(title)) return title;
    return tigetflag("XT") > 0 ? "\033]0;" : nullptr;
}

static void setTerminalTitle(std::wstring_view caption) {
    const char* start = titleStart();
    if (start == nullptr) return;
    const char* end = tigetstr("fsl");
    if (!present(end)) end = "\007";
    std::array<char, titleCapacity> text{};
    std::size_t length = 0;
    for (const wchar_t c : caption) {
        const int converted = std::wctob(static_cast<wint_t>(c));
        if (length + 1 >= text.size()) break;
        text[length++] = converted == EOF ? '?' : static_cast<char>(converted);
    }
    writeText(start);
    writeAll(text.data(), length);
    writeText(end);
}

// ---- Drawing

static int textColumns(std::wstring_view text) {
    int columns = 0;
    for (const wchar_t c : text) columns += std::max(wcwidth(c), 1);
    return columns;
}

// Draws text at row, column, skipping its first skipColumns columns and cut to
// columns; characters that cannot be shown become "?".
static void drawText(int row, int column, int columns, std::wstring_view text, int skipColumns,
                     attr_t attributes) {
    if (columns <= 0 || row < 0 || column < 0) return;
    std::array<wchar_t, controlTextCapacity> visible{};
    int count = 0;
    int used = 0;
    for (wchar_t c : text) {
        int width = wcwidth(c);
        if (width < 1) {
            c = L'?';
            width = 1;
        }
        if (skipColumns > 0) {
            skipColumns -= width;
            if (skipColumns < 0 && used < columns) {  // the right half of a wide character
                visible[static_cast<std::size_t>(count++)] = L' ';
                used += 1;
                skipColumns = 0;
            }
            continue;
        }
        if (used + width > columns || static_cast<std::size_t>(count) + 1 >= visible.size()) break;
        visible[static_cast<std::size_t>(count++)] = c;
        used += width;
    }
    attrset(attributes);
    mvaddnwstr(row, column, visible.data(), count);
}

static void drawBox(const CellRect& box) {
    const int right = box.column + box.columns - 1;
    const int bottom = box.row + box.rows - 1;
    attrset(A_NORMAL);
    mvhline(box.row, box.column + 1, ACS_HLINE, box.columns - 2);
    mvhline(bottom, box.column + 1, ACS_HLINE, box.columns - 2);
    mvvline(box.row + 1, box.column, ACS_VLINE, box.rows - 2);
    mvvline(box.row + 1, right, ACS_VLINE, box.rows - 2);
    mvaddch(box.row, box.column, ACS_ULCORNER);
    mvaddch(box.row, right, ACS_URCORNER);
    mvaddch(bottom, box.column, ACS_LLCORNER);
    mvaddch(bottom, right, ACS_LRCORNER);
}

static CellRect insideBox(const CellRect& box) {
    return CellRect{box.column + 1, box.row + 1, std::max(box.columns - 2, 0), std::max(box.rows - 2, 0)};
}

static CellRect intersect(const CellRect& a, const CellRect& b) {
    const int left = std::max(a.column, b.column);
    const int top = std::max(a.row, b.row);
    const int right = std::min(a.column + a.columns, b.column + b.columns);
    const int bottom = std::min(a.row + a.rows, b.row + b.rows);
    return CellRect{left, top, std::max(right - left, 0), std::max(bottom - top, 0)};
}

// The template's rectangle in screen cells: scaled to the client area, which
// starts at row clientTop.
static CellRect placeControl(DialogRect rect, int columns, int clientTop, int clientRows) {
    CellRect cells = scaleDialogRect(rect, columns, clientRows);
    cells.row += clientTop;
    return cells;
}

// The caption bar, as the handheld's title bar shows it: the caption on the left.
static void drawCaption(int columns) {
    attrset(A_REVERSE);
    mvhline(0, 0, ' ', columns);
    drawText(0, 1, columns - 1, mainWindow.caption, 0, A_REVERSE | A_BOLD);
}

// The status log: its lines from the top, not wrapped, shifted by the
// horizontal offset; a border when there is room for one and a line inside it.
static void drawStatusLog(const CellRect& place) {
    if (place.columns <= 0 || place.rows <= 0) return;
    const std::size_t length = getWindowText(statusLogControl, front.logText);
    const std::wstring_view text(front.logText.data(), length);
    const std::size_t lineCount = splitLogLines(text, front.logLines);
    CellRect area = place;
    if (place.rows >= 5 && place.columns >= 4) {
        drawBox(place);
        area = insideBox(place);
    }
    front.longestLine = 0;
    for (std::size_t i = 0; i < lineCount; ++i) {
        front.longestLine = std::max(front.longestLine, textColumns(front.logLines[i]));
    }
    front.visibleColumns = area.columns;
    clampHorizontalOffset(front.longestLine, front.visibleColumns);
    const std::size_t shown = std::min(lineCount, static_cast<std::size_t>(area.rows));
    for (std::size_t i = 0; i < shown; ++i) {
        drawText(area.row + static_cast<int>(i), area.column, area.columns, front.logLines[i],
                 mainWindow.horizontalOffset, A_NORMAL);
    }
}

// The group box "About" and the three lines inside it.
static void drawAbout(const CellRect& frame, const CellRect& textPlace) {
    if (frame.columns < 2 || frame.rows < 2) return;
    drawBox(frame);
    drawText(frame.row, frame.column + 2, frame.columns - 4, aboutFrameCaption, 0, A_NORMAL);
    const CellRect area = intersect(textPlace, insideBox(frame));
    const int shown = std::min(area.rows, static_cast<int>(aboutLines.size()));
    for (int i = 0; i < shown; ++i) {
        drawText(area.row + i, area.column, area.columns, aboutLines[static_cast<std::size_t>(i)], 0,
                 A_NORMAL);
    }
}

static MenuBarLayout currentMenuBar(int columns) {
    return layoutMenuBar(columns, front.exitLabelLength, front.startLabelLength);
}

// The menu bar: "Exit" on the left, "Start" on the right, dimmed while disabled.
static void drawMenuBar(int row, int columns) {
    const MenuBarLayout layout = currentMenuBar(columns);
    attrset(A_REVERSE);
    mvhline(row, 0, ' ', columns);
    const auto label = [](const std::array<wchar_t, messageTextCapacity>& text, int length) {
        return std::wstring_view(text.data(), static_cast<std::size_t>(length));
    };
    drawText(row, layout.exitColumn, layout.exitColumns, label(front.exitLabel, front.exitLabelLength), 0,
             A_REVERSE | A_BOLD);
    const attr_t startLook = commandEnabled(startCommand) ? A_REVERSE | A_BOLD : A_REVERSE | A_DIM;
    drawText(row, layout.startColumn, layout.startColumns, label(front.startLabel, front.startLabelLength), 0,
             startLook);
}

// Draws the whole window for the terminal's present size; a terminal too small
// for all of it gets what fits, the menu bar first.
static void drawWindow() {
    int rows = 0;
    int columns = 0;
    getmaxyx(stdscr, rows, columns);
    erase();
    const int clientTop = rows >= 2 ? 1 : 0;
    const int clientRows = std::max(rows - 2, 0);
    if (rows >= 2) drawCaption(columns);
    drawStatusLog(placeControl(statusLogRect, columns, clientTop, clientRows));
    drawAbout(placeControl(aboutFrameRect, columns, clientTop, clientRows),
              placeControl(aboutTextRect, columns, clientTop, clientRows));
    if (rows >= 1) drawMenuBar(rows - 1, columns);
    attrset(A_NORMAL);
    wnoutrefresh(stdscr);
    doupdate();
}

// ---- Leaving

// Restores the terminal and ends the process at once: the report cycle and
// reader threads are abandoned, as closing the window on the handheld does.
[[noreturn]] static void leave(int result) {
    endwin();
    if (front.titleStack) writeText("\033[23;0t");
    std::fflush(stdout);
    if (front.instance != nullptr) releaseInstance(*front.instance);
    endProcess(result);
}

// Ctrl-Z: the terminal is given back while the process is stopped, and the
// window drawn again when it continues (the size may have changed meanwhile).
static void suspend() {
    endwin();
    if (front.titleStack) writeText("\033[23;0t");
    std::fflush(stdout);
    stopProcess();
    if (front.titleStack) writeText("\033[22;0t");
    clearok(curscr, TRUE);
    setTerminalTitle(mainWindow.caption);
}

// ---- Input

static void resizeToTerminal() {
    int rows = 0;
    int columns = 0;
    if (terminalSize(rows, columns)) resizeterm(rows, columns);
}

// A click (or a release after a press) on a label of the menu bar chooses it.
static void onMouse() {
    MEVENT event{};
    if (getmouse(&event) != OK) return;
    if ((event.bstate & (BUTTON1_RELEASED | BUTTON1_CLICKED)) == 0) return;
    if (event.y != getmaxy(stdscr) - 1) return;
    const int command = hitMenuBar(currentMenuBar(getmaxx(stdscr)), event.x);
    if (command != 0) onCommand(command);
}

static WindowKey keyOf(int kind, wint_t code) {
    if (kind == KEY_CODE_YES) {
        switch (code) {
            case KEY_F(1):
                return WindowKey::leftSoftKey;
            case KEY_F(2):
                return WindowKey::rightSoftKey;
            case KEY_LEFT:
                return WindowKey::scrollLeft;
            case KEY_RIGHT:
                return WindowKey::scrollRight;
            default:
                return WindowKey::other;
        }
    }
    return code == 0x1B ? WindowKey::back : WindowKey::other;
}

// Reads every waiting key; returns when none is left or the dialog has ended.
static void readInput() {
    wint_t code = 0;
    int kind = 0;
    while ((kind = wget_wch(stdscr, &code)) != ERR) {
        if (kind == KEY_CODE_YES && code == KEY_MOUSE) {
            onMouse();
        } else if (kind == KEY_CODE_YES && code == KEY_RESIZE) {
            continue;  // drawn after the loop
        } else {
            onKey(keyOf(kind, code), front.longestLine, front.visibleColumns);
        }
        if (mainWindow.ended) return;
    }
}

// ---- The event loop

static void wakeOnChange(const WindowChange&, void* context) {
    wakeFrontEnd(*static_cast<const FrontEndEvents*>(context));
}

static void loadLabels() {
    front.exitLabelLength = static_cast<int>(loadString(messageExit, front.exitLabel));
    front.startLabelLength = static_cast<int>(loadString(messageStart, front.startLabel));
}

// A second start asked this copy to come forward: ring the bell, set the
// title again, and repaint everything (at the next drawing) in case the
// screen was disturbed.
static void comeForward() {
    beep();
    onActivate();
    clearok(curscr, TRUE);
    setTerminalTitle(mainWindow.caption);
}

// Opens the terminal; on failure says why on standard error and returns false
// before anything has been drawn.
static bool openTerminal() {
    std::setlocale(LC_ALL, "");
    const char* type = std::getenv("TERM");
    if (type == nullptr || type[0] == '\0') {
        std::fputs("wayloom: TERM is not set, so the terminal cannot be used\n", stderr);
        return false;
    }
    if (newterm(nullptr, stdout, stdin) == nullptr) {
        std::fprintf(stderr, "wayloom: no terminal capabilities for TERM=%s\n", type);
        return false;
    }
    const char* moveCursor = tigetstr("cup");
    if (!present(moveCursor)) {
        endwin();
        std::fprintf(stderr, "wayloom: the terminal TERM=%s cannot place the cursor\n", type);
        return false;
    }
    set_escdelay(escapeDelayMs);
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    mouseinterval(0);
    mousemask(BUTTON1_PRESSED | BUTTON1_RELEASED | BUTTON1_CLICKED, nullptr);
    front.titleStack = tigetflag("XT") > 0;
    return true;
}

// One round of the event loop: closing wins over everything, then the model's
// changes (drawn after the round), the terminal's size, the keys, a second start.
static void handleEvents(const ReadyEvents& ready, InstanceLock& instance) {
    if (ready.close) onClose();
    if (mainWindow.ended) leave(mainWindow.result);
    if (ready.suspend) suspend();
    if (ready.suspend || ready.resize) resizeToTerminal();
    if (ready.input) readInput();
    if (mainWindow.ended) leave(mainWindow.result);
    if (ready.forward && takeForwardRequests(instance) > 0) comeForward();
}

int runWindowFrontEnd(InstanceLock& instance) {
    front.instance = &instance;
    if (!openFrontEndEvents(front.events, true)) {
        std::fputs("wayloom: cannot set up the event loop\n", stderr);
        return -1;
    }
    // ncurses keeps what a failed newterm allocated; the process ends at once
    // like every other way out, so that nothing is released piecemeal.
    if (!openTerminal()) endProcess(-1);
    loadLabels();
    setWindowChangeListener(wakeOnChange, &front.events);
    if (!initMainWindow()) leave(-1);
    onActivate();
    drawWindow();
    if (front.titleStack) writeText("\033[22;0t");
    setTerminalTitle(mainWindow.caption);

    for (;;) {
        handleEvents(waitForFrontEndEvents(front.events, instance, true), instance);
        drawWindow();
    }
}
