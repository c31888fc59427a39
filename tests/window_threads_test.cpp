// The window model under the two threads that use it: the report cycle
// thread appending lines and the window thread toggling "Start", with a
// listener that hears every change in order and a front end that is woken to
// redraw.
#include "status/window.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "status/statuslog.hpp"

namespace {

std::wstring controlText(int control) {
    std::array<wchar_t, controlTextCapacity> buffer;
    const std::size_t length = getWindowText(control, buffer);
    return {buffer.data(), length};
}

// The status log's texts as the listener heard them, newest last.
struct HeardTexts {
    std::vector<std::wstring> texts;
};

void recordChange(const WindowChange& change, void* context) {
    if (change.id == statusLogControl) static_cast<HeardTexts*>(context)->texts.emplace_back(change.text);
}

class WindowModel : public ::testing::Test {
  protected:
    void SetUp() override {
        setWindowChangeListener(nullptr, nullptr);
        resetWindowModel();
        runState = 1;
    }
    void TearDown() override {
        setWindowChangeListener(nullptr, nullptr);
        resetWindowModel();
    }
};

}  // namespace

TEST_F(WindowModel, TextIsCutToTheControlAndReadBackWithinTheBuffer) {
    setWindowText(statusLogControl, std::wstring(600, L'z'));
    EXPECT_EQ(controlText(statusLogControl), std::wstring(controlTextCapacity - 1, L'z'));
    setWindowText(statusLogControl, L"abcdef");
    for (const std::size_t capacity : {0u, 1u, 4u, 7u, 12u}) {
        SCOPED_TRACE(capacity);
        std::array<wchar_t, 13> buffer;
        buffer.fill(L'?');
        const std::size_t copied = getWindowText(statusLogControl, std::span(buffer).first(capacity));
        EXPECT_EQ(std::wstring(buffer.data(), copied),
                  std::wstring(L"abcdef").substr(0, capacity ? capacity - 1 : 0));
        if (capacity > 0) {
            EXPECT_EQ(buffer[copied], L'\0');
        }
        EXPECT_EQ(buffer[capacity], L'?') << "wrote past the buffer";
    }
}

// Two threads, released together, append 30 numbered lines each, short
// enough that nothing is read back past 399 characters: every line must
// arrive, each thread's lines in their order, and each text the listener
// hears must be the one before it plus one line. Repeated, so that the two
// threads' appends really meet.
TEST_F(WindowModel, AppendsFromTwoThreadsLoseNoLine) {
    constexpr int rounds = 100;
    constexpr int linesPerThread = 30;  // 60 lines of 4 characters and CR LF: 299 characters
    auto lineText = [](wchar_t thread, int i) {
        return std::wstring{thread, static_cast<wchar_t>(L'0' + i / 10), static_cast<wchar_t>(L'0' + i % 10),
                            L'.'};
    };
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        clearStatusLog();
        HeardTexts heard;
        setWindowChangeListener(recordChange, &heard);
        std::atomic<int> ready{0};
        auto appendLines = [&](wchar_t thread) {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            for (int i = 0; i < linesPerThread; ++i) appendStatusLine(lineText(thread, i));
        };
        std::thread cycle(appendLines, L'C');
        std::thread window(appendLines, L'W');
        cycle.join();
        window.join();
        setWindowChangeListener(nullptr, nullptr);

        ASSERT_EQ(heard.texts.size(), 2u * linesPerThread);
        for (std::size_t i = 1; i < heard.texts.size(); ++i) {
            const std::wstring& before = heard.texts[i - 1];
            const std::wstring& after = heard.texts[i];
            ASSERT_EQ(after.substr(0, before.size() + 2), before + L"\r\n") << "change " << i;
            ASSERT_EQ(after.size(), before.size() + 6) << "change " << i;
        }
        const std::wstring& last = heard.texts.back();
        ASSERT_EQ(last, controlText(statusLogControl));
        for (const wchar_t thread : {L'C', L'W'}) {
            std::size_t from = 0;
            for (int i = 0; i < linesPerThread; ++i) {
                const std::size_t at = last.find(lineText(thread, i), from);
                ASSERT_NE(at, std::wstring::npos)
                    << "line " << i << " of thread " << static_cast<char>(thread);
                from = at + 4;
            }
        }
    }
}

// A front end that only wakes its own thread from the listener and redraws
// from the model there, while another thread appends and toggles.
TEST_F(WindowModel, FrontEndWokenByTheListenerSeesTheLastState) {
    struct FrontEnd {
        std::mutex mutex;
        std::condition_variable wake;
        int pending = 0;
        bool stop = false;
    } frontEnd;
    setWindowChangeListener(
        [](const WindowChange&, void* context) {
            auto& fe = *static_cast<FrontEnd*>(context);
            {
                const std::lock_guard lock(fe.mutex);
                ++fe.pending;
            }
            fe.wake.notify_one();
        },
        &frontEnd);

    std::wstring drawnText;
    bool drawnStart = true;
    int redraws = 0;
    std::thread drawer([&] {
        std::unique_lock lock(frontEnd.mutex);
        for (;;) {
            frontEnd.wake.wait(lock, [&] { return frontEnd.pending > 0 || frontEnd.stop; });
            if (frontEnd.pending == 0 && frontEnd.stop) return;
            frontEnd.pending = 0;
            lock.unlock();
            drawnText = controlText(statusLogControl);
            drawnStart = commandEnabled(startCommand);
            ++redraws;
            lock.lock();
        }
    });

    std::thread cycle([] {
        for (int i = 0; i < 200; ++i) {
            if (i % 50 == 0) clearStatusLog();
            showMessage(i % 2 == 0 ? messageConnecting : messageSentSuccessfully);
        }
    });
    toggleRunState();
    toggleRunState();
    toggleRunState();
    cycle.join();
    {
        const std::lock_guard lock(frontEnd.mutex);
        frontEnd.stop = true;
    }
    frontEnd.wake.notify_one();
    drawer.join();
    setWindowChangeListener(nullptr, nullptr);

    EXPECT_GT(redraws, 0);
    EXPECT_EQ(drawnText, controlText(statusLogControl));
    EXPECT_FALSE(drawnStart);
    EXPECT_EQ(runState.load(), 0);
}
