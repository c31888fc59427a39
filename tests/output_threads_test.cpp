// The queue of output lines on a real pipe that nobody reads for a while.
#include "platform/output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Everything the writer has written, once it has written all it holds.
std::string readAll(int fd) {
    std::string text;
    std::array<char, 4096> buffer;
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < deadline;) {
        // Looked at before the read: once the queue is empty, all is in the pipe.
        const bool drained = drainOutput(0);
        const ssize_t count = read(fd, buffer.data(), buffer.size());
        if (count > 0) {
            text.append(buffer.data(), static_cast<std::size_t>(count));
        } else if (drained) {
            return text;
        } else {
            std::this_thread::sleep_for(10ms);
        }
    }
    ADD_FAILURE() << "the writer never finished";
    return text;
}

// A stalled output: adding lines never waits; the lines that fit come out in
// order, a line counts those dropped where they were dropped, and later lines
// come as usual.
TEST(Output, StalledOutputDropsLinesAndSaysHowManyOnceItMoves) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    ASSERT_TRUE(startOutputWriter(OutputStream::standardOutput, ends[1]));

    constexpr int lineCount = 3000;  // about 30 KB: more than the pipe and the queue hold
    auto adding = std::async(std::launch::async, [] {
        for (int i = 0; i < lineCount; ++i) {
            const std::string line = "line " + std::to_string(i) + "\n";
            queueOutputLine(OutputStream::standardOutput, line);
        }
    });
    ASSERT_EQ(adding.wait_for(10s), std::future_status::ready) << "adding lines waited for the reader";

    // Every line is there in order or counted by the notice that stands where
    // it was dropped (the writer may free room between two drops).
    std::istringstream lines(readAll(ends[0]));
    int next = 0;
    int notices = 0;
    for (std::string line; std::getline(lines, line);) {
        int dropped = 0;
        if (std::sscanf(line.c_str(), "(%d line", &dropped) == 1) {
            EXPECT_EQ(line, "(" + std::to_string(dropped) + (dropped == 1 ? " line" : " lines") +
                                " dropped: the output was blocked)");
            EXPECT_GT(dropped, 0);
            next += dropped;
            ++notices;
        } else {
            ASSERT_EQ(line, "line " + std::to_string(next));
            ++next;
        }
    }
    EXPECT_EQ(next, lineCount);
    EXPECT_GE(notices, 1) << "nothing was dropped";

    queueOutputLine(OutputStream::standardOutput, std::string("after\n"));
    EXPECT_EQ(readAll(ends[0]), "after\n");
    close(ends[0]);
    close(ends[1]);
}

}  // namespace
