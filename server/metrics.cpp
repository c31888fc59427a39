// The server's metrics: atomics, and their text for Prometheus.
#include "server/metrics.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>

namespace {

// A histogram with fixed upper bounds; each bucket counts the values up to
// its bound and above the one before (the text shows them cumulatively).
template <std::size_t N>
struct Histogram {
    std::array<double, N> bounds;
    std::array<std::atomic<std::uint64_t>, N + 1> buckets{};  // the last: above every bound
    std::atomic<std::uint64_t> sumMicros{0};                  // the sum in millionths

    void observe(double value) {
        std::size_t i = 0;
        while (i < N && value > bounds[i]) ++i;
        buckets[i].fetch_add(1, std::memory_order_relaxed);
        sumMicros.fetch_add(static_cast<std::uint64_t>(value * 1e6 + 0.5), std::memory_order_relaxed);
    }
};

// Report latency, seconds: from a fraction of a millisecond (a cached
// password, an idle server) to the seconds of a stuck database.
constexpr std::array<double, 14> latencyBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                  0.1,    0.25,  0.5,    1,     2.5,  5,     10};
// Reports per transaction: powers of two up to commitGroupMaxReports (4096).
constexpr std::array<double, 13> groupBounds = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096};
constexpr std::string_view answerChars = "0123456";

struct Metrics {
    std::array<std::atomic<std::uint64_t>, 7> reportsByAnswer{};  // indexed by answerChars
    Histogram<latencyBounds.size()> latency{latencyBounds};
    std::atomic<std::uint64_t> reportsAhead{0};
    std::atomic<std::uint64_t> commitGroups{0};
    Histogram<groupBounds.size()> groupSizes{groupBounds};
    std::atomic<std::uint64_t> slowVerifications{0};
    std::atomic<std::uint64_t> limitedRequests{0};
    std::atomic<std::uint64_t> databaseErrors{0};
    std::atomic<std::int64_t> openConnections{0};
    std::atomic<std::int64_t> liveStreams{0};
};

Metrics& metrics() {
    static Metrics all;
    return all;
}

void appendHead(std::string& text, const char* name, const char* type, const char* help) {
    text += "# HELP ";
    text += name;
    text += ' ';
    text += help;
    text += "\n# TYPE ";
    text += name;
    text += ' ';
    text += type;
    text += '\n';
}

void appendValue(std::string& text, const char* name, double value) {
    char line[160];
    std::snprintf(line, sizeof line, "%s %.17g\n", name, value);
    text += line;
}

template <std::size_t N>
void appendHistogram(std::string& text, const char* name, const char* help, const Histogram<N>& histogram) {
    appendHead(text, name, "histogram", help);
    std::uint64_t cumulative = 0;
    char line[160];
    for (std::size_t i = 0; i <= N; ++i) {
        cumulative += histogram.buckets[i].load(std::memory_order_relaxed);
        if (i < N) {
            std::snprintf(line, sizeof line, "%s_bucket{le=\"%g\"} %llu\n", name, histogram.bounds[i],
                          static_cast<unsigned long long>(cumulative));
        } else {
            std::snprintf(line, sizeof line, "%s_bucket{le=\"+Inf\"} %llu\n", name,
                          static_cast<unsigned long long>(cumulative));
        }
        text += line;
    }
    std::snprintf(line, sizeof line, "%s_sum %.6f\n%s_count %llu\n", name,
                  static_cast<double>(histogram.sumMicros.load(std::memory_order_relaxed)) / 1e6, name,
                  static_cast<unsigned long long>(cumulative));
    text += line;
}

double read(const std::atomic<std::uint64_t>& counter) {
    return static_cast<double>(counter.load(std::memory_order_relaxed));
}

}  // namespace

void countReportAnswer(char answerChar, std::chrono::steady_clock::duration latency) {
    const std::size_t index = answerChars.find(answerChar);
    if (index == std::string_view::npos) return;
    metrics().reportsByAnswer[index].fetch_add(1, std::memory_order_relaxed);
    metrics().latency.observe(std::chrono::duration<double>(latency).count());
}

void countReportAhead() {
    metrics().reportsAhead.fetch_add(1, std::memory_order_relaxed);
}

void countCommitGroup(std::size_t reports) {
    metrics().commitGroups.fetch_add(1, std::memory_order_relaxed);
    metrics().groupSizes.observe(static_cast<double>(reports));
}

void countSlowVerification() {
    metrics().slowVerifications.fetch_add(1, std::memory_order_relaxed);
}
void countLimitedRequest() {
    metrics().limitedRequests.fetch_add(1, std::memory_order_relaxed);
}
void countDatabaseError() {
    metrics().databaseErrors.fetch_add(1, std::memory_order_relaxed);
}
void countConnection(int change) {
    metrics().openConnections.fetch_add(change, std::memory_order_relaxed);
}
void countLiveStream(int change) {
    metrics().liveStreams.fetch_add(change, std::memory_order_relaxed);
}

std::string metricsText() {
    const Metrics& m = metrics();
    std::string text;
    appendHead(text, "wayloom_reports_total", "counter",
               "Reports answered, by answer: 1 stored, 2 unknown login, 3 wrong version, 4 disabled, "
               "5 wrong password or limited, 6 not a report, 0 not stored.");
    for (std::size_t i = 0; i < answerChars.size(); ++i) {
        text += "wayloom_reports_total{answer=\"";
        text += answerChars[i];
        text += "\"} " + std::to_string(m.reportsByAnswer[i].load(std::memory_order_relaxed)) + "\n";
    }
    appendHistogram(text, "wayloom_report_duration_seconds",
                    "Time from a report's connection to its answer, in seconds.", m.latency);
    appendHead(text, "wayloom_reports_ahead_total", "counter",
               "Reports stored whose time lay a second or more ahead of the server's clock.");
    appendValue(text, "wayloom_reports_ahead_total", read(m.reportsAhead));
    appendHead(text, "wayloom_commit_groups_total", "counter", "Transactions of reports committed.");
    appendValue(text, "wayloom_commit_groups_total", read(m.commitGroups));
    appendHistogram(text, "wayloom_commit_group_reports", "Reports per committed transaction.", m.groupSizes);
    appendHead(text, "wayloom_slow_verifications_total", "counter",
               "Reports whose password was checked with the slow hash (not the cache).");
    appendValue(text, "wayloom_slow_verifications_total", read(m.slowVerifications));
    appendHead(text, "wayloom_limited_requests_total", "counter",
               "Reports and sign-ins refused by the limit on failures.");
    appendValue(text, "wayloom_limited_requests_total", read(m.limitedRequests));
    appendHead(text, "wayloom_database_errors_total", "counter",
               "Failures of the database: commits refused, connections lost, checks failed.");
    appendValue(text, "wayloom_database_errors_total", read(m.databaseErrors));
    appendHead(text, "wayloom_open_connections", "gauge", "Client connections open now.");
    appendValue(text, "wayloom_open_connections",
                static_cast<double>(m.openConnections.load(std::memory_order_relaxed)));
    appendHead(text, "wayloom_live_streams", "gauge", "Live update streams open now.");
    appendValue(text, "wayloom_live_streams",
                static_cast<double>(m.liveStreams.load(std::memory_order_relaxed)));
    return text;
}

void addMetricsRoute(Routes& routes) {
    routes.add("GET", metricsPath, [](const HttpRequest&, HttpStream& stream) {
        stream.respond(200, "text/plain; version=0.0.4; charset=utf-8", metricsText(),
                       "Cache-Control: no-store\r\n");
    });
}
