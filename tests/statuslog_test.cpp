// The message table, the status log's append and read-back limits, and the
// run state with the "Start" command.
#include "app/statuslog.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "platform/strings.hpp"
#include "platform/window.hpp"

namespace {

std::wstring statusLogText() {
    std::array<wchar_t, controlTextCapacity> buffer;
    const std::size_t length = getWindowText(statusLogControl, buffer);
    return {buffer.data(), length};
}

class StatusLog : public ::testing::Test {
  protected:
    void SetUp() override {
        setWindowChangeListener(nullptr, nullptr);
        resetWindowModel();
        runState = 1;
    }
    void TearDown() override { setWindowChangeListener(nullptr, nullptr); }
};

struct MessageCase {
    std::uint16_t id;
    const wchar_t* text;
};

constexpr MessageCase messageTable[] = {
    {103, L"Exit"},
    {104, L"Start"},
    {106, L"Connecting..."},
    {108, L"Wrong login!"},
    {109, L"Can't connect!"},
    {110, L"Can't open host!"},
    {111, L"Can't send data!"},
    {112, L"Service unavailable!"},
    {113, L"Sent successfully."},
    {114, L"Trying to get data from GPS..."},
    {116, L"Can't open GPS-port!"},
    {118, L"Can't configure GPS-port!"},
    {120, L"Download new version!"},
    {121, L"Can't find satellites!"},
    {122, L"Bad query!"},
    {123, L"Authorization error!"},
    {124, L"Wrong password!"},
    {125, L"Saving error. Try again..."},
};

}  // namespace

TEST(Messages, EveryIdentifierHasItsExactText) {
    for (const MessageCase& c : messageTable) {
        SCOPED_TRACE(c.id);
        std::array<wchar_t, messageTextCapacity> buffer;
        buffer.fill(L'?');
        const std::size_t length = loadString(c.id, buffer);
        EXPECT_EQ(std::wstring(buffer.data(), length), c.text);
        EXPECT_EQ(buffer[length], L'\0');
    }
}

TEST(Messages, IdentifiersOutsideTheTableHaveNoText) {
    for (const int id : {0, 1, 102, 105, 107, 115, 117, 119, 126, 65535}) {
        SCOPED_TRACE(id);
        std::array<wchar_t, 8> buffer;
        buffer.fill(L'?');
        EXPECT_EQ(loadString(static_cast<std::uint16_t>(id), buffer), 0u);
        EXPECT_EQ(buffer[0], L'\0');
        EXPECT_TRUE(findString(static_cast<std::uint16_t>(id)).empty());
    }
}

TEST(Messages, ShortBufferGetsTheStartAndATerminator) {
    struct Case {
        std::size_t capacity;
        const wchar_t* expected;
    };
    constexpr Case cases[] = {
        {1, L""}, {2, L"C"}, {6, L"Conne"}, {14, L"Connecting..."}, {15, L"Connecting..."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::array<wchar_t, 16> buffer;
        buffer.fill(L'?');
        const std::size_t length = loadString(messageConnecting, std::span(buffer).first(c.capacity));
        EXPECT_EQ(std::wstring(buffer.data(), length), c.expected);
        EXPECT_EQ(buffer[length], L'\0');
        EXPECT_EQ(buffer[c.capacity], L'?') << "wrote past the buffer";
    }
    std::array<wchar_t, 1> untouched{L'?'};
    EXPECT_EQ(loadString(messageConnecting, std::span(untouched).first(0)), 0u);
    EXPECT_EQ(untouched[0], L'?');
}

TEST_F(StatusLog, LinesAreSeparatedByCrLfWithNoneAfterTheLast) {
    appendStatusLine(L"A");
    EXPECT_EQ(statusLogText(), L"A");
    appendStatusLine(L"B");
    EXPECT_EQ(statusLogText(), L"A\r\nB");
    appendStatusLine(L"");
    EXPECT_EQ(statusLogText(), L"A\r\nB\r\n");
}

TEST_F(StatusLog, AnEmptyLineOnAnEmptyLogLeavesItEmpty) {
    appendStatusLine(L"");
    EXPECT_EQ(statusLogText(), L"");
    appendStatusLine(L"X");
    EXPECT_EQ(statusLogText(), L"X");
}

TEST_F(StatusLog, OnlyTheFirst399CharactersAreReadBack) {
    struct Case {
        std::size_t oldLength;
        std::size_t keptLength;
    };
    constexpr Case cases[] = {{398, 398}, {399, 399}, {400, 399}, {420, 399}, {511, 399}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oldLength);
        std::wstring old;
        for (std::size_t i = 0; i < c.oldLength; ++i) old += static_cast<wchar_t>(L'a' + i % 26);
        setWindowText(statusLogControl, old);
        appendStatusLine(L"new line");
        EXPECT_EQ(statusLogText(), old.substr(0, c.keptLength) + L"\r\nnew line");
    }
}

TEST_F(StatusLog, ALongestLineOnAFullLogFillsTheBufferExactly) {
    setWindowText(statusLogControl, std::wstring(420, L'o'));
    const std::wstring line(statusLineMaxLength, L'n');
    appendStatusLine(line);
    const std::wstring text = statusLogText();
    EXPECT_EQ(text.size(), logBufferCapacity - 1);
    EXPECT_EQ(text, std::wstring(399, L'o') + L"\r\n" + line);
}

TEST_F(StatusLog, TooLongOrZeroHoldingTextIsCutSafely) {
    struct Case {
        std::wstring text;
        std::wstring appended;
    };
    const Case cases[] = {
        {std::wstring(111, L'x'), std::wstring(110, L'x')},
        {std::wstring(5000, L'y'), std::wstring(110, L'y')},
        {std::wstring(L"ab\0cd", 5), L"ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.size());
        setWindowText(statusLogControl, std::wstring(399, L'o'));
        appendStatusLine(c.text);
        EXPECT_EQ(statusLogText(), std::wstring(399, L'o') + L"\r\n" + c.appended);
    }
}

TEST_F(StatusLog, ShowMessageAppendsTheMessageText) {
    showMessage(messageTryingGps);
    showMessage(messageCantFindSatellites);
    EXPECT_EQ(statusLogText(), L"Trying to get data from GPS...\r\nCan't find satellites!");
    showMessage(9999);
    EXPECT_EQ(statusLogText(), L"Trying to get data from GPS...\r\nCan't find satellites!\r\n");
}

TEST_F(StatusLog, ClearEmptiesTheLog) {
    appendStatusLine(L"one");
    appendStatusLine(L"two");
    clearStatusLog();
    EXPECT_EQ(statusLogText(), L"");
    appendStatusLine(L"three");
    EXPECT_EQ(statusLogText(), L"three");
}

TEST_F(StatusLog, EveryAppendTellsTheListenerTheWholeNewText) {
    std::vector<std::wstring> seen;
    setWindowChangeListener(
        [](const WindowChange& change, void* context) {
            if (change.id == statusLogControl)
                static_cast<std::vector<std::wstring>*>(context)->emplace_back(change.text);
        },
        &seen);
    appendStatusLine(L"first");
    showMessage(messageConnecting);
    clearStatusLog();
    const std::vector<std::wstring> expected{L"first", L"first\r\nConnecting...", L""};
    EXPECT_EQ(seen, expected);
}

TEST_F(StatusLog, ToggleFlipsRunStateAndTheStartCommand) {
    ASSERT_TRUE(commandEnabled(startCommand));
    toggleRunState();
    EXPECT_EQ(runState.load(), 0);
    EXPECT_FALSE(commandEnabled(startCommand));
    EXPECT_TRUE(commandEnabled(exitCommand));
    toggleRunState();
    EXPECT_EQ(runState.load(), 1);
    EXPECT_TRUE(commandEnabled(startCommand));
    EXPECT_TRUE(commandEnabled(exitCommand));
}

TEST_F(StatusLog, ToggleFromAnyNonZeroValueGivesZero) {
    runState = 7;
    toggleRunState();
    EXPECT_EQ(runState.load(), 0);
    EXPECT_FALSE(commandEnabled(startCommand));
}
