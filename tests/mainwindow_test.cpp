// The main window apart from its drawing: the template scaled to a terminal,
// the menu bar's columns, the status log's lines, and what the commands and
// keys do to the window and the run state.
#include "app/mainwindow.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "status/statuslog.hpp"
#include "status/window.hpp"

namespace {

std::string describe(const CellRect& r) {
    return std::to_string(r.column) + "," + std::to_string(r.row) + " " + std::to_string(r.columns) + "x" +
           std::to_string(r.rows);
}

void expectRect(const CellRect& actual, const CellRect& expected) {
    EXPECT_EQ(describe(actual), describe(expected));
}

// ---- Geometry

TEST(ScaleDialogRect, KnownTerminalSizes) {
    struct Case {
        const char* name;
        DialogRect rect;
        int columns, rows;
        CellRect expected;
    };
    const Case cases[] = {
        // One cell per dialog unit, and two: the template itself.
        {"log 165x130", statusLogRect, 165, 130, {1, 3, 159, 55}},
        {"frame 165x130", aboutFrameRect, 165, 130, {18, 66, 128, 42}},
        {"text 330x260", aboutTextRect, 330, 260, {52, 152, 188, 50}},
        // 80x24 terminal: 22 client rows between the caption and the menu bar.
        {"log 80x22", statusLogRect, 80, 22, {0, 1, 78, 9}},
        {"frame 80x22", aboutFrameRect, 80, 22, {9, 11, 62, 7}},
        {"text 80x22", aboutTextRect, 80, 22, {13, 13, 45, 4}},
        // 40x12 terminal, the smallest that must stay usable.
        {"log 40x10", statusLogRect, 40, 10, {0, 0, 39, 4}},
        {"frame 40x10", aboutFrameRect, 40, 10, {4, 5, 31, 3}},
        // Nothing left.
        {"log 0x0", statusLogRect, 0, 0, {0, 0, 0, 0}},
        {"log negative", statusLogRect, -5, -1, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectRect(scaleDialogRect(c.rect, c.columns, c.rows), c.expected);
    }
}

bool inside(const CellRect& inner, const CellRect& outer) {
    return inner.column >= outer.column && inner.row >= outer.row &&
           inner.column + inner.columns <= outer.column + outer.columns &&
           inner.row + inner.rows <= outer.row + outer.rows;
}

bool overlap(const CellRect& a, const CellRect& b) {
    return a.column < b.column + b.columns && b.column < a.column + a.columns && a.row < b.row + b.rows &&
           b.row < a.row + a.rows;
}

// Whatever the size, the controls stay inside the client area, the text
// inside its frame, and the log apart from the frame, as in the template.
TEST(ScaleDialogRect, KeepsTheTemplateOrderAtEverySize) {
    for (int columns = 0; columns <= 200; ++columns) {
        for (int rows = 0; rows <= 140; ++rows) {
            const CellRect area{0, 0, columns, rows};
            const CellRect log = scaleDialogRect(statusLogRect, columns, rows);
            const CellRect frame = scaleDialogRect(aboutFrameRect, columns, rows);
            const CellRect text = scaleDialogRect(aboutTextRect, columns, rows);
            const bool good = inside(log, area) && inside(frame, area) && inside(text, frame) &&
                              !overlap(log, frame) && log.columns >= 0 && log.rows >= 0;
            if (!good) {
                ADD_FAILURE() << columns << "x" << rows << ": log " << describe(log) << " frame "
                              << describe(frame) << " text " << describe(text);
                return;
            }
        }
    }
}

// ---- Menu bar

TEST(MenuBar, LabelsAndHitsAtEightyColumns) {
    const MenuBarLayout layout = layoutMenuBar(80, 4, 5);
    EXPECT_EQ(layout.exitColumn, 1);
    EXPECT_EQ(layout.exitColumns, 4);
    EXPECT_EQ(layout.startColumn, 74);
    EXPECT_EQ(layout.startColumns, 5);
    struct Case {
        int column;
        int command;
    };
    constexpr Case cases[] = {{0, 0},  {1, exitCommand},   {4, exitCommand},   {5, 0},
                              {73, 0}, {74, startCommand}, {78, startCommand}, {79, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.column);
        EXPECT_EQ(hitMenuBar(layout, c.column), c.command);
    }
}

// On narrow terminals the labels never overlap and never leave the bar; a
// label cut short still answers to a click on what is shown of it.
TEST(MenuBar, NarrowTerminalsKeepLabelsApart) {
    for (int columns = 0; columns <= 40; ++columns) {
        SCOPED_TRACE(columns);
        const MenuBarLayout l = layoutMenuBar(columns, 4, 5);
        EXPECT_GE(l.exitColumns, 0);
        EXPECT_GE(l.startColumns, 0);
        EXPECT_LE(l.exitColumn + l.exitColumns, columns);
        EXPECT_LE(l.startColumn + l.startColumns, columns);
        if (l.startColumns > 0) {
            EXPECT_GT(l.startColumn, l.exitColumn + l.exitColumns);
        }
        for (int column = 0; column < columns; ++column) {
            const int command = hitMenuBar(l, column);
            const bool onExit = column >= l.exitColumn && column < l.exitColumn + l.exitColumns;
            const bool onStart = column >= l.startColumn && column < l.startColumn + l.startColumns;
            EXPECT_EQ(command, onExit ? exitCommand : onStart ? startCommand : 0) << "column " << column;
        }
    }
    EXPECT_EQ(layoutMenuBar(12, 4, 5).startColumn, 6);
    EXPECT_EQ(layoutMenuBar(12, 4, 5).startColumns, 5);
}

// ---- The status log's lines

TEST(LogLines, SplitAtCrLfOnly) {
    struct Case {
        const wchar_t* text;
        std::size_t count;
        std::array<const wchar_t*, 3> lines;
    };
    const Case cases[] = {
        {L"", 0, {}},
        {L"Connecting...", 1, {L"Connecting..."}},
        {L"A\r\nB", 2, {L"A", L"B"}},
        {L"A\r\nB\r\nC", 3, {L"A", L"B", L"C"}},
        {L"A\r\n", 2, {L"A", L""}},
        {L"\r\n\r\n", 3, {L"", L"", L""}},
        {L"A\rB\nC", 1, {L"A\rB\nC"}},  // a lone CR or LF is no separator
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case with " << c.count << " lines");
        std::array<std::wstring_view, 3> lines{};
        ASSERT_EQ(splitLogLines(c.text, lines), c.count);
        for (std::size_t i = 0; i < c.count; ++i) EXPECT_EQ(lines[i], c.lines[i]) << "line " << i;
    }
    // No more lines than the caller has room for.
    std::array<std::wstring_view, 2> two{};
    EXPECT_EQ(splitLogLines(L"A\r\nB\r\nC", two), 2u);
    EXPECT_EQ(two[1], L"B");
}

TEST(LogLines, LastLineIsWhatWasAppended) {
    EXPECT_EQ(lastLogLine(L""), L"");
    EXPECT_EQ(lastLogLine(L"Trying to get data from GPS..."), L"Trying to get data from GPS...");
    EXPECT_EQ(lastLogLine(L"37.25 55.5 1.5\r\nConnecting...\r\nSent successfully."), L"Sent successfully.");
    EXPECT_EQ(lastLogLine(L"A\r\n"), L"");
}

// ---- Commands and keys

std::wstring logText() {
    std::array<wchar_t, controlTextCapacity> buffer{};
    return {buffer.data(), getWindowText(statusLogControl, buffer)};
}

class Window : public ::testing::Test {
  protected:
    void SetUp() override {
        setWindowChangeListener(nullptr, nullptr);
        runState = 1;
        ASSERT_TRUE(initMainWindow());
    }
};

TEST_F(Window, InitOpensIdle) {
    appendStatusLine(L"left over");
    enableCommand(startCommand, false);
    mainWindow.ended = true;
    ASSERT_TRUE(initMainWindow());
    EXPECT_EQ(mainWindow.caption, L"Wayloom");
    EXPECT_EQ(logText(), L"");
    EXPECT_TRUE(commandEnabled(startCommand));
    EXPECT_TRUE(commandEnabled(exitCommand));
    EXPECT_FALSE(mainWindow.ended);
    EXPECT_EQ(mainWindow.focusControl, 0);
    onActivate();
    EXPECT_EQ(mainWindow.focusControl, statusLogControl);
}

// While a report cycle runs (runState 0, "Start" disabled) a further "Start",
// from the key or the menu, changes nothing and starts nothing.
TEST_F(Window, StartIgnoredWhileReporting) {
    toggleRunState();
    appendStatusLine(L"Trying to get data from GPS...");
    ASSERT_EQ(runState.load(), 0);
    EXPECT_FALSE(onStartCommand());
    EXPECT_TRUE(onCommand(startCommand));  // handled, though it does nothing
    EXPECT_FALSE(onKey(WindowKey::rightSoftKey, 0, 0));
    EXPECT_EQ(runState.load(), 0);
    EXPECT_FALSE(commandEnabled(startCommand));
    EXPECT_EQ(logText(), L"Trying to get data from GPS...");
}

TEST_F(Window, ExitAndCloseEndWithZero) {
    struct Case {
        const char* name;
        void (*act)();
    };
    const Case cases[] = {
        {"F1", [] { onKey(WindowKey::leftSoftKey, 0, 0); }},
        {"command 102", [] { onCommand(exitCommand); }},
        {"close", [] { onClose(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(initMainWindow());
        mainWindow.result = 7;
        c.act();
        EXPECT_TRUE(mainWindow.ended);
        EXPECT_EQ(mainWindow.result, 0);
        EXPECT_EQ(runState.load(), 1);
    }
}

// Back, the caption's OK button (command 1) and other keys leave the window
// open and everything as it was.
TEST_F(Window, BackAndOtherInputChangeNothing) {
    onActivate();
    appendStatusLine(L"Sent successfully.");
    EXPECT_FALSE(onKey(WindowKey::back, 40, 10));
    EXPECT_FALSE(onKey(WindowKey::other, 40, 10));
    EXPECT_FALSE(onCommand(1));
    onBackKey();
    EXPECT_FALSE(mainWindow.ended);
    EXPECT_EQ(runState.load(), 1);
    EXPECT_TRUE(commandEnabled(startCommand));
    EXPECT_EQ(logText(), L"Sent successfully.");
    EXPECT_EQ(mainWindow.horizontalOffset, 0);
}

TEST_F(Window, ScrollsSidewaysOnlyWithFocusAndWithinTheLongestLine) {
    // Before activation the log has no focus.
    EXPECT_FALSE(onKey(WindowKey::scrollRight, 50, 20));
    EXPECT_EQ(mainWindow.horizontalOffset, 0);
    onActivate();
    EXPECT_FALSE(onKey(WindowKey::scrollLeft, 50, 20));
    EXPECT_EQ(mainWindow.horizontalOffset, 0);
    for (int i = 0; i < 30; ++i) onKey(WindowKey::scrollRight, 50, 20);
    EXPECT_EQ(mainWindow.horizontalOffset, 30);
    EXPECT_FALSE(onKey(WindowKey::scrollRight, 50, 20));
    EXPECT_TRUE(onKey(WindowKey::scrollLeft, 50, 20));
    EXPECT_EQ(mainWindow.horizontalOffset, 29);
    // Lines that fit need no scrolling; the offset falls back when the text
    // gets shorter or the window wider.
    clampHorizontalOffset(25, 20);
    EXPECT_EQ(mainWindow.horizontalOffset, 5);
    clampHorizontalOffset(25, 80);
    EXPECT_EQ(mainWindow.horizontalOffset, 0);
    EXPECT_FALSE(onKey(WindowKey::scrollRight, 10, 20));
    clampHorizontalOffset(10, -3);
    EXPECT_EQ(mainWindow.horizontalOffset, 0);
}

}  // namespace
