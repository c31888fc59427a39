// The message table, the status log's append and read-back limits, and the
// run state with the "Start" command.
#include "status/statuslog.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "status/strings.hpp"
#include "status/window.hpp"

namespace {

std::wstring statusLogText() {
    std::array<wchar_t, controlTextCapacity> buffer;
    return {buffer.data(), getWindowText(statusLogControl, buffer)};
}

class StatusLog : public ::testing::Test {
  protected:
    void SetUp() override {
        setWindowChangeListener(nullptr, nullptr);
        resetWindowModel();
        runState = 1;
    }
};

}  // namespace

TEST(Messages, EveryIdentifierHasItsExactText) {
    struct Case {
        int id;
        const wchar_t* text;
    };
    constexpr Case cases[] = {
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
        {126, L"Kept for later: %1 waiting."},
        {127, L"Sent %1 kept reports."},
        {128, L"Queue full: the oldest kept report was dropped."},
        // Identifiers outside the table have no text.
        {0, L""},
        {102, L""},
        {105, L""},
        {107, L""},
        {115, L""},
        {119, L""},
        {129, L""},
        {65535, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        std::array<wchar_t, messageTextCapacity> buffer;
        buffer.fill(L'?');
        const std::size_t length = loadString(static_cast<std::uint16_t>(c.id), buffer);
        EXPECT_EQ(std::wstring(buffer.data(), length), c.text);
        EXPECT_EQ(buffer[length], L'\0');
    }
}

TEST(Messages, ShortBufferGetsTheStartAndATerminator) {
    struct Case {
        std::size_t capacity;
        const wchar_t* expected;
    };
    constexpr Case cases[] = {{0, L""}, {1, L""}, {2, L"C"}, {6, L"Conne"}, {14, L"Connecting..."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::array<wchar_t, 16> buffer;
        buffer.fill(L'?');
        const std::size_t length = loadString(messageConnecting, std::span(buffer).first(c.capacity));
        EXPECT_EQ(std::wstring(buffer.data(), length), c.expected);
        if (c.capacity > 0) {
            EXPECT_EQ(buffer[length], L'\0');
        }
        EXPECT_EQ(buffer[c.capacity], L'?') << "wrote past the buffer";
    }
}

TEST_F(StatusLog, LinesAreSeparatedByCrLfWithNoneAfterTheLast) {
    appendStatusLine(L"");
    EXPECT_EQ(statusLogText(), L"");
    appendStatusLine(L"A");
    EXPECT_EQ(statusLogText(), L"A");
    appendStatusLine(L"B");
    EXPECT_EQ(statusLogText(), L"A\r\nB");
    clearStatusLog();
    showMessage(messageTryingGps);
    showMessage(9999);
    EXPECT_EQ(statusLogText(), L"Trying to get data from GPS...\r\n");
}

TEST_F(StatusLog, CountMessagesCarryTheirNumber) {
    struct Case {
        std::uint16_t id;
        std::int64_t count;
        const wchar_t* line;
    };
    constexpr Case cases[] = {
        {messageKeptForLater, 1, L"Kept for later: 1 waiting."},
        {messageKeptForLater, 100000, L"Kept for later: 100000 waiting."},
        {messageSentKeptReports, 9223372036854775807, L"Sent 9223372036854775807 kept reports."},
        {messageConnecting, 5, L"Connecting..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        clearStatusLog();
        showCountMessage(c.id, c.count);
        EXPECT_EQ(statusLogText(), c.line);
    }
}

TEST_F(StatusLog, OnlyTheFirst399CharactersAreReadBackAndLinesStopAt110) {
    struct Case {
        std::size_t oldLength;
        std::wstring line;
        std::size_t keptLength;
        std::wstring appended;
    };
    const Case cases[] = {
        {398, L"new", 398, L"new"},
        {399, L"new", 399, L"new"},
        {420, L"new", 399, L"new"},
        {511, std::wstring(110, L'n'), 399, std::wstring(110, L'n')},  // fills the 512 exactly
        {420, std::wstring(5000, L'y'), 399, std::wstring(110, L'y')},
        {10, std::wstring(L"ab\0cd", 5), 10, L"ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oldLength);
        std::wstring old;
        for (std::size_t i = 0; i < c.oldLength; ++i) old += static_cast<wchar_t>(L'a' + i % 26);
        setWindowText(statusLogControl, old);
        appendStatusLine(c.line);
        EXPECT_EQ(statusLogText(), old.substr(0, c.keptLength) + L"\r\n" + c.appended);
    }
}

TEST_F(StatusLog, EveryChangeTellsTheListener) {
    std::vector<std::wstring> seen;
    setWindowChangeListener(
        [](const WindowChange& change, void* context) {
            auto& texts = *static_cast<std::vector<std::wstring>*>(context);
            texts.emplace_back(change.id == statusLogControl
                                   ? std::wstring(change.text)
                                   : (change.enabled ? L"+" : L"-") + std::to_wstring(change.id));
        },
        &seen);
    appendStatusLine(L"first");
    showMessage(messageConnecting);
    clearStatusLog();
    toggleRunState();
    setWindowChangeListener(nullptr, nullptr);
    const std::vector<std::wstring> expected{L"first", L"first\r\nConnecting...", L"", L"-101"};
    EXPECT_EQ(seen, expected);
}

TEST_F(StatusLog, ToggleTwiceLeavesRunStateAndStartAsTheyWere) {
    toggleRunState();
    EXPECT_EQ(runState.load(), 0);
    EXPECT_FALSE(commandEnabled(startCommand));
    EXPECT_TRUE(commandEnabled(exitCommand));
    toggleRunState();
    EXPECT_EQ(runState.load(), 1);
    EXPECT_TRUE(commandEnabled(startCommand));
    EXPECT_TRUE(commandEnabled(exitCommand));
}
