// The service's log file on Windows: the local time before every line, lines
// split across writes kept whole, and the rotation to NAME.1 at a line's end
// once the file holds its capacity, on real files in a folder of the test's
// own.
#include "platform/logfile.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct LogFolder {
    std::filesystem::path path;
    LogFolder() {
        std::array<wchar_t, MAX_PATH> temporary{};
        GetTempPathW(static_cast<DWORD>(temporary.size()), temporary.data());
        path =
            std::filesystem::path(temporary.data()) /
            ("wayloom-log-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()));
        std::filesystem::create_directories(path);
    }
    ~LogFolder() {
        closeLogFile();
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// The path as UTF-8, as openLogFile takes it.
std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::vector<std::string> linesOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Writes each piece as the output writer would, all of it taken.
void writePieces(const std::vector<std::string>& pieces) {
    for (const std::string& piece : pieces) {
        int error = -1;
        EXPECT_EQ(writeLogFile(std::span<const char>(piece.data(), piece.size()), error),
                  static_cast<long>(piece.size()))
            << piece;
        EXPECT_EQ(error, 0);
    }
}

// The lines without their times, each checked to begin with one.
std::vector<std::string> withoutTimes(const std::vector<std::string>& lines) {
    static const std::regex time("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ");
    std::vector<std::string> texts;
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_search(line, time)) << line;
        texts.push_back(line.size() >= logTimeLength ? line.substr(logTimeLength) : line);
    }
    return texts;
}

TEST(LogFile, EveryLineHasItsTimeAndRotatesWhole) {
    struct Case {
        const char* name;
        std::uint64_t capacity;
        std::vector<std::string> pieces;
        std::vector<std::string> current;  // wayloom.log's lines, without times
        std::vector<std::string> rotated;  // wayloom.log.1's
    };
    const std::string summary = "37.25 55.5 1.5";  // 20 + 14 + 1 = 35 bytes a line with its time
    const Case cases[] = {
        {"lines one by one",
         1024,
         {"\n", "Trying to get data from GPS...\n"},
         {"", "Trying to get data from GPS..."},
         {}},
        {"a line split across writes has one time",
         1024,
         {"Conn", "ecting...\nSent ", "successfully.\n"},
         {"Connecting...", "Sent successfully."},
         {}},
        {"several lines in one write", 1024, {"a\nb\nc\n"}, {"a", "b", "c"}, {}},
        {"full at a line's end: the next line begins a new file",
         70,
         {summary + "\n", summary + "\n", "next\n"},
         {"next"},
         {summary, summary}},
        {"a line is never cut by the rotation",
         40,
         {summary + "\n" + summary.substr(0, 5), summary.substr(5) + "\n", "next\n"},
         {"next"},
         {summary, summary}},
        {"a second rotation replaces the first",
         20,
         {"one " + summary + "\n", "two\n", "three\n"},
         {"three"},
         {"two"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LogFolder folder;
        const std::filesystem::path log = folder.path / "wayloom.log";
        ASSERT_EQ(openLogFile(utf8(log).c_str(), c.capacity), 0u);
        writePieces(c.pieces);
        closeLogFile();
        EXPECT_EQ(withoutTimes(linesOf(log)), c.current);
        const std::filesystem::path rotated = folder.path / "wayloom.log.1";
        EXPECT_EQ(std::filesystem::exists(rotated), !c.rotated.empty());
        EXPECT_EQ(withoutTimes(linesOf(rotated)), c.rotated);
    }
}

// A service started again goes on with the same file and counts what is
// already there towards the capacity.
TEST(LogFile, ReopeningAppendsAndCountsTheOldLines) {
    const LogFolder folder;
    const std::filesystem::path log = folder.path / "wayloom.log";
    ASSERT_EQ(openLogFile(utf8(log).c_str(), 50), 0u);
    writePieces({"first run\n"});
    ASSERT_EQ(openLogFile(utf8(log).c_str(), 50), 0u);
    writePieces({"second run\n", "after the rotation\n"});
    closeLogFile();
    EXPECT_EQ(withoutTimes(linesOf(folder.path / "wayloom.log.1")),
              (std::vector<std::string>{"first run", "second run"}));
    EXPECT_EQ(withoutTimes(linesOf(log)), std::vector<std::string>{"after the rotation"});
}

TEST(LogFile, WritingWithoutAnOpenLogFails) {
    closeLogFile();
    int error = 0;
    EXPECT_EQ(writeLogFile(std::span<const char>("x\n", 2), error), -1);
    EXPECT_EQ(error, EBADF);
}

}  // namespace
