// "Start" with a real report cycle thread: the order in which the window
// changes, seen by a listener as a front end sees them, and the way back to
// "Start" when the GPS port cannot be opened.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/mainwindow.hpp"
#include "settings/settings.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

namespace {

// Every change the window model reports, in order, as text: "log:<text>" or
// "start:on" / "start:off".
struct ChangeRecord {
    std::mutex mutex;
    std::vector<std::wstring> changes;
};

void recordChange(const WindowChange& change, void* context) {
    auto& record = *static_cast<ChangeRecord*>(context);
    const std::lock_guard lock(record.mutex);
    if (change.id == statusLogControl) {
        record.changes.push_back(L"log:" + std::wstring(change.text));
    } else if (change.id == startCommand) {
        record.changes.push_back(change.enabled ? L"start:on" : L"start:off");
    }
}

std::vector<std::wstring> waitForChanges(ChangeRecord& record, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            const std::lock_guard lock(record.mutex);
            if (record.changes.size() >= count || std::chrono::steady_clock::now() > deadline) {
                return record.changes;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void usePort(const wchar_t* name) {
    const std::wstring_view port(name);
    settings.portName.fill(L'\0');
    std::copy(port.begin(), port.end(), settings.portName.begin());
}

// "Start" disables itself before anything else, then empties the log, and
// only then does the cycle's first line appear; a port that does not exist
// shows its failure and gives "Start" back.
TEST(StartCommand, RunsTheCycleAfterDisablingAndClearing) {
    runState = 1;
    ASSERT_TRUE(initMainWindow());
    usePort(L"/nonexistent/gps");
    onActivate();
    appendStatusLine(L"an old line");
    ChangeRecord record;
    setWindowChangeListener(recordChange, &record);

    ASSERT_TRUE(onStartCommand());
    const std::vector<std::wstring> expected{
        L"start:off",
        L"log:",
        L"log:Trying to get data from GPS...",
        L"log:Trying to get data from GPS...\r\nCan't open GPS-port!",
        L"start:on",
    };
    EXPECT_EQ(waitForChanges(record, expected.size()), expected);
    setWindowChangeListener(nullptr, nullptr);
    EXPECT_EQ(runState.load(), 1);
    EXPECT_TRUE(commandEnabled(startCommand));
    EXPECT_FALSE(mainWindow.ended);
}

}  // namespace
