// The working paths that must not touch the heap: appending a status line,
// building a request and classifying an answer, keeping a report in the queue
// file and taking it off again, counted by the heap counter.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "heap_counter.hpp"
#include "report/fixtime.hpp"
#include "report/protocol.hpp"
#include "report/queue.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

TEST(NoHeap, WorkingPathsDoNotAllocate) {
    resetWindowModel();
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("wayloom-noheap-" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(std::filesystem::create_directories(folder));
    const std::string queuePath = (folder / "queue").string();
    const std::string answer = "HTTP/1.0 200 OK\r\n\r\n1";
    const std::string longAnswer(700, 'x');
    const long before = heapAllocations();

    for (int i = 0; i < 50; ++i) {
        appendStatusLine(L"Connecting...");
        showMessage(messageSentSuccessfully);
    }
    clearStatusLog();
    toggleRunState();
    toggleRunState();
    const NumberText lat = formatReportNumber(55.755833);
    const NumberText lon = formatReportNumber(-1.2345678e-300);
    const NumberText speed = formatReportNumber(0.0);
    const SummaryLine summary = formatReportSummary(lat, lon, speed);
    ReportRequest request;
    buildReportRequest(lat, lon, speed, "login&", "pass word%", request);
    const std::uint16_t outcome = classifyReportResponse({answer.data(), answer.size()});
    const std::uint16_t longOutcome = classifyReportResponse({longAnswer.data(), longAnswer.size()});
    showCountMessage(messageKeptForLater, 12345);
    const FixTimeText fixTime = formatFixTime(chooseFixTime({}, systemUtcNow()));
    buildReportRequest(lat, lon, speed, "login&", "pass word%", request, fixTime.data());
    ReportQueue queue;
    const bool opened = openReportQueue(queue, queuePath.c_str(), 2);
    KeptReport kept{lat, lon, speed, fixTime};
    for (int i = 0; i < 3; ++i) keepReport(queue, kept);
    const bool taken = oldestKeptReport(queue, kept) && removeOldestKeptReport(queue);
    closeReportQueue(queue);

    EXPECT_EQ(heapAllocations() - before, 0);
    auto* probe = new std::vector<int>(100);  // and the count does see the heap
    delete probe;
    EXPECT_GE(heapAllocations() - before, 2);
    EXPECT_EQ(outcome, messageSentSuccessfully);
    EXPECT_EQ(longOutcome, messageServiceUnavailable);
    EXPECT_GT(request.length, 0u);
    EXPECT_NE(summary[0], L'\0');
    EXPECT_TRUE(opened && taken);
    EXPECT_EQ(queue.waiting, 1);
    std::filesystem::remove_all(folder);
}
