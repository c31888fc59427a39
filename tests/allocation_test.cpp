// The working paths that must not touch the heap: appending a status line,
// building a request and classifying an answer. Every form of operator new is
// replaced in this program to count calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "app/statuslog.hpp"
#include "platform/window.hpp"
#include "report/protocol.hpp"

namespace {
std::atomic<long> heapAllocations{0};

// Both out of line, so the compiler never pairs an allocation with a release
// of another form and calls it mismatched: every form goes through these two.
[[gnu::noinline]] void* countedAllocation(std::size_t size) noexcept {
    heapAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void releaseBlock(void* block) noexcept {
    std::free(block);
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* block = countedAllocation(size)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
void operator delete(void* block) noexcept {
    releaseBlock(block);
}
void operator delete[](void* block) noexcept {
    releaseBlock(block);
}
void operator delete(void* block, std::size_t) noexcept {
    releaseBlock(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    releaseBlock(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    releaseBlock(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    releaseBlock(block);
}

TEST(NoHeap, WorkingPathsDoNotAllocate) {
    resetWindowModel();
    const std::string answer = "HTTP/1.0 200 OK\r\n\r\n1";
    const std::string longAnswer(700, 'x');
    const long before = heapAllocations.load();

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

    EXPECT_EQ(heapAllocations.load() - before, 0);
    auto* probe = new std::vector<int>(100);  // and the count does see the heap
    delete probe;
    EXPECT_GE(heapAllocations.load() - before, 2);
    EXPECT_EQ(outcome, messageSentSuccessfully);
    EXPECT_EQ(longOutcome, messageServiceUnavailable);
    EXPECT_GT(request.length, 0u);
    EXPECT_NE(summary[0], L'\0');
}
