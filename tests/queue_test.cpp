// The store-and-forward queue file on a real file system: its records, a
// crash that tears the last record at any byte, the limit that drops the
// oldest, and the file cut back once it empties or carries many done records.
#include "report/queue.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/files.hpp"

namespace {

template <std::size_t capacity>
std::array<char, capacity> textArray(const std::string& text) {
    std::array<char, capacity> out{};
    std::copy_n(text.begin(), std::min(text.size(), capacity - 1), out.begin());
    return out;
}

// Report n: its speed and second say which it is.
KeptReport report(int n) {
    char time[32];
    std::snprintf(time, sizeof time, "2026-12-07T%02d:%02d:%02dZ", n / 3600 % 24, n / 60 % 60, n % 60);
    return {textArray<numberTextCapacity>("-48.1173"), textArray<numberTextCapacity>("11.516667"),
            textArray<numberTextCapacity>(std::to_string(n)), textArray<fixTimeTextCapacity>(time)};
}

class QueueFile : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = std::filesystem::temp_directory_path() /
                    ("wayloom-queue-" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(std::filesystem::create_directories(directory));
        path = (directory / "queue").string();
    }
    void TearDown() override {
        closeReportQueue(queue);
        std::filesystem::remove_all(directory);
    }
    // Opens the file afresh and takes every waiting report off, in order.
    std::vector<KeptReport> drainAfterReopening(std::int64_t limit = 100) {
        EXPECT_TRUE(openReportQueue(queue, path.c_str(), limit));
        std::vector<KeptReport> reports;
        KeptReport kept;
        while (oldestKeptReport(queue, kept)) {
            reports.push_back(kept);
            EXPECT_TRUE(removeOldestKeptReport(queue));
        }
        return reports;
    }
    std::uintmax_t fileSize() const { return std::filesystem::file_size(path); }

    std::filesystem::path directory;
    std::string path;
    ReportQueue queue;
};

}  // namespace

TEST(QueueRecord, EveryByteIsGuarded) {
    const KeptReport original = report(4321);
    const QueueRecord record = encodeQueueRecord(original);
    EXPECT_EQ(std::string(record.data(), 46), "+ 2026-12-07T01:12:01Z -48.1173 11.516667 4321");
    KeptReport read{};
    ASSERT_EQ(decodeQueueRecord(record, read), RecordState::waiting);
    EXPECT_EQ(read, original);
    // Any one byte changed, the state byte aside, makes the record damaged.
    for (std::size_t at = 1; at < queueRecordSize; ++at) {
        SCOPED_TRACE(at);
        QueueRecord changed = record;
        changed[at] = static_cast<char>(changed[at] ^ 0x01);
        EXPECT_EQ(decodeQueueRecord(changed, read), RecordState::damaged);
    }
    QueueRecord done = record;
    done[0] = '-';
    EXPECT_EQ(decodeQueueRecord(done, read), RecordState::done);
}

// A crash while the last record was written leaves any prefix of it, or its
// full length with what the disk held before (zeros, or an older record's
// bytes). Only that record is lost, and reports kept afterwards line up.
TEST_F(QueueFile, TornLastRecordAtEveryOffsetLosesOnlyThatRecord) {
    struct Tear {
        const char* name;
        bool keepLength;  // false: the file ends at the offset; true: the rest is filler
        char filler;
    };
    constexpr Tear tears[] = {{"cut", false, 0}, {"zeros", true, '\0'}, {"old bytes", true, 'x'}};
    const QueueRecord last = encodeQueueRecord(report(3));
    for (const Tear& tear : tears) {
        for (std::size_t offset = 0; offset < queueRecordSize; ++offset) {
            SCOPED_TRACE(std::string(tear.name) + " at " + std::to_string(offset));
            ASSERT_TRUE(openReportQueue(queue, path.c_str(), 100));
            ASSERT_EQ(keepReport(queue, report(1)), KeepResult::kept);
            ASSERT_EQ(keepReport(queue, report(2)), KeepResult::kept);
            closeReportQueue(queue);
            {
                std::ofstream file(path, std::ios::binary | std::ios::app);
                file.write(last.data(), static_cast<std::streamsize>(offset));
                if (tear.keepLength) file << std::string(queueRecordSize - offset, tear.filler);
            }
            ASSERT_TRUE(openReportQueue(queue, path.c_str(), 100));
            EXPECT_EQ(queue.waiting, 2);
            ASSERT_EQ(keepReport(queue, report(4)), KeepResult::kept);
            closeReportQueue(queue);
            const std::vector<KeptReport> expected{report(1), report(2), report(4)};
            EXPECT_EQ(drainAfterReopening(), expected);
            EXPECT_EQ(fileSize(), 0u) << "an emptied queue is cut to nothing";
            closeReportQueue(queue);
        }
    }
}

TEST_F(QueueFile, FullQueueDropsTheOldest) {
    struct Case {
        int kept;
        std::vector<int> remaining;
    };
    // reopenAt: the file is closed and opened again after that report, in
    // the middle of a ring that has run round past the end of the file.
    const Case cases[] = {{3, {1, 2, 3}}, {4, {2, 3, 4}}, {7, {5, 6, 7}}, {13, {11, 12, 13}}};
    for (const Case& c : cases) {
        for (const int reopenAt : {0, 5, 6}) {
            SCOPED_TRACE(std::to_string(c.kept) + " kept, reopened after " + std::to_string(reopenAt));
            ASSERT_TRUE(openReportQueue(queue, path.c_str(), 3));
            for (int n = 1; n <= c.kept; ++n) {
                EXPECT_EQ(keepReport(queue, report(n)),
                          n <= 3 ? KeepResult::kept : KeepResult::keptDroppingOldest);
                EXPECT_LE(queue.waiting, 3);
                EXPECT_LE(fileSize(), 4 * queueRecordSize) << "the file passed the limit and one";
                if (n == reopenAt) {
                    ASSERT_TRUE(openReportQueue(queue, path.c_str(), 3));
                }
            }
            closeReportQueue(queue);
            std::vector<KeptReport> expected;
            for (const int n : c.remaining) expected.push_back(report(n));
            EXPECT_EQ(drainAfterReopening(3), expected);
            closeReportQueue(queue);
        }
    }
    // A file kept under a larger limit: the next report leaves the newest.
    ASSERT_TRUE(openReportQueue(queue, path.c_str(), 5));
    for (int n = 1; n <= 5; ++n) ASSERT_EQ(keepReport(queue, report(n)), KeepResult::kept);
    closeReportQueue(queue);
    ASSERT_TRUE(openReportQueue(queue, path.c_str(), 2));
    EXPECT_EQ(keepReport(queue, report(6)), KeepResult::keptDroppingOldest);
    closeReportQueue(queue);
    EXPECT_EQ(drainAfterReopening(2), (std::vector<KeptReport>{report(5), report(6)}));
}

// The file deleted, or another put in its place, while the queue is open:
// the next write notices, and what waited is in the file at the path, after
// what waited in the one put there.
TEST_F(QueueFile, DeletedOrReplacedFileKeepsWhatWaits) {
    enum class Change { deleted, replacedEmpty, replacedByQueue };
    enum class Then { keep, takeOff };
    struct Case {
        const char* name;
        Change change;
        Then then;
        std::vector<int> remaining;
    };
    const Case cases[] = {
        {"deleted, then a report kept", Change::deleted, Then::keep, {1, 2, 3}},
        {"deleted, then one taken off", Change::deleted, Then::takeOff, {2}},
        {"replaced by an empty file", Change::replacedEmpty, Then::keep, {1, 2, 3}},
        {"replaced by another queue", Change::replacedByQueue, Then::keep, {9, 1, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(openReportQueue(queue, path.c_str(), 100));
        ASSERT_EQ(keepReport(queue, report(1)), KeepResult::kept);
        ASSERT_EQ(keepReport(queue, report(2)), KeepResult::kept);
        std::filesystem::remove(path);
        if (c.change != Change::deleted) {
            const std::string other = path + ".other";
            std::ofstream(other, std::ios::binary).close();
            if (c.change == Change::replacedByQueue) {
                ReportQueue second;
                ASSERT_TRUE(openReportQueue(second, other.c_str(), 100));
                ASSERT_EQ(keepReport(second, report(9)), KeepResult::kept);
                closeReportQueue(second);
            }
            std::filesystem::rename(other, path);
        }
        KeptReport kept;
        if (c.then == Then::keep) {
            EXPECT_EQ(keepReport(queue, report(3)), KeepResult::kept);
        } else {
            ASSERT_TRUE(oldestKeptReport(queue, kept));
            EXPECT_EQ(kept, report(1));
            EXPECT_TRUE(removeOldestKeptReport(queue));
        }
        closeReportQueue(queue);  // as a kill would: only the file at the path is left
        std::vector<KeptReport> expected;
        for (const int n : c.remaining) expected.push_back(report(n));
        EXPECT_EQ(drainAfterReopening(), expected);
        closeReportQueue(queue);
    }
}

// After a restart the newest t in the file, delivered or waiting, is the last sent.
TEST_F(QueueFile, NewestKeptTimeCountsDeliveredAndWaitingRecords) {
    ASSERT_TRUE(openReportQueue(queue, path.c_str(), 10));
    FixTimeText newest{};
    EXPECT_FALSE(newestKeptTime(queue, newest));
    for (const int n : {90, 50, 70}) ASSERT_EQ(keepReport(queue, report(n)), KeepResult::kept);
    ASSERT_TRUE(removeOldestKeptReport(queue));  // 90 delivered
    closeReportQueue(queue);
    ASSERT_TRUE(openReportQueue(queue, path.c_str(), 10));
    ASSERT_TRUE(newestKeptTime(queue, newest));
    EXPECT_EQ(newest, report(90).time);
}

// Taking reports off leaves done records ahead of the waiting ones; once they
// are many, the waiting ones move to the front of the file, in order.
TEST_F(QueueFile, DoneRecordsAreCompactedAway) {
    constexpr int keptCount = 2 * static_cast<int>(queueCompactionMinimum) + 100;
    ASSERT_TRUE(openReportQueue(queue, path.c_str(), keptCount));
    for (int n = 0; n < keptCount; ++n) ASSERT_EQ(keepReport(queue, report(n)), KeepResult::kept);
    KeptReport kept;
    int taken = 0;
    while (fileSize() == static_cast<std::uintmax_t>(keptCount) * queueRecordSize) {
        ASSERT_TRUE(oldestKeptReport(queue, kept));
        ASSERT_EQ(kept, report(taken));
        ASSERT_TRUE(removeOldestKeptReport(queue));
        ++taken;
    }
    EXPECT_EQ(taken, keptCount / 2 + (keptCount % 2));
    EXPECT_EQ(fileSize(), static_cast<std::uintmax_t>(keptCount - taken) * queueRecordSize);
    closeReportQueue(queue);
    const std::vector<KeptReport> rest = drainAfterReopening(keptCount);
    ASSERT_EQ(rest.size(), static_cast<std::size_t>(keptCount - taken));
    for (std::size_t i = 0; i < rest.size(); ++i) EXPECT_EQ(rest[i], report(taken + static_cast<int>(i)));
}

TEST(QueuePath, AbsoluteAsWrittenRelativeBesideTheProgram) {
    std::array<char, executablePathCapacity> program;
    const std::string_view programPath(program.data(), executablePath(program));
    const std::string folder(programPath.substr(0, programPath.rfind('/') + 1));
    ASSERT_FALSE(folder.empty());
    struct Case {
        const char* setting;
        std::string opened;  // empty: none
    };
    const Case cases[] = {
        {"/var/lib/wayloom/queue", "/var/lib/wayloom/queue"},
        {"queue", folder + "queue"},
        {"data/queue", folder + "data/queue"},
        {"", ""},
#ifdef _WIN32
        {"C:\\wayloom\\queue", "C:\\wayloom\\queue"},
        {"d:/queue", "d:/queue"},
        {"\\\\server\\share\\queue", "\\\\server\\share\\queue"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting);
        std::array<char, queuePathFullCapacity> path;
        const bool resolved = resolveQueuePath(c.setting, path);
        EXPECT_EQ(resolved, !c.opened.empty());
        if (resolved) {
            EXPECT_EQ(std::string(path.data()), c.opened);
        }
    }
}
