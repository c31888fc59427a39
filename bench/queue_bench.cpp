// The cost of keeping a report in a full queue: the oldest is marked done and
// the new record takes its room (one byte written, one record read and one
// written, one flush), whatever the limit. The file is filled directly, then
// opened as at a start. Time is per kept report (mostly the flush: compare
// the CPU column); file_bytes is the file's size at the end, which stays
// (limit + 1) * 96 bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "report/queue.hpp"

namespace {

KeptReport reportNumber(std::uint64_t n) {
    KeptReport report{};
    std::snprintf(report.latitude.data(), report.latitude.size(), "48.%06llu",
                  static_cast<unsigned long long>(n % 1000000));
    std::snprintf(report.longitude.data(), report.longitude.size(), "11.516667");
    std::snprintf(report.speed.data(), report.speed.size(), "10");
    std::snprintf(report.time.data(), report.time.size(), "2026-12-07T%02llu:%02llu:%02lluZ",
                  static_cast<unsigned long long>(n / 3600 % 24),
                  static_cast<unsigned long long>(n / 60 % 60), static_cast<unsigned long long>(n % 60));
    return report;
}

void KeepIntoFullQueue(benchmark::State& state) {
    const std::int64_t limit = state.range(0);
    const std::string path = (std::filesystem::temp_directory_path() / "wayloom-queue-bench").string();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        for (std::uint64_t n = 0; n < static_cast<std::uint64_t>(limit); ++n) {
            const QueueRecord record = encodeQueueRecord(reportNumber(n));
            file.write(record.data(), static_cast<std::streamsize>(record.size()));
        }
    }
    ReportQueue queue;
    if (!openReportQueue(queue, path.c_str(), limit)) {
        state.SkipWithError("cannot open the queue");
        return;
    }
    std::uint64_t n = static_cast<std::uint64_t>(limit);
    for (auto _ : state) {
        if (keepReport(queue, reportNumber(n++)) != KeepResult::keptDroppingOldest) {
            state.SkipWithError("not kept");
            break;
        }
    }
    closeReportQueue(queue);
    state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
}

}  // namespace

BENCHMARK(KeepIntoFullQueue)->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
