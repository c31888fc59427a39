// The server's metrics in Prometheus' text format, served at /metrics on the
// --metrics-listen address: counters and gauges kept in atomics that every
// thread adds to without a lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "server/http.hpp"

constexpr std::string_view metricsPath = "/metrics";

// A report answered with answerChar ('0' to '6'), latency after its
// connection was accepted.
void countReportAnswer(char answerChar, std::chrono::steady_clock::duration latency);
// A report stored whose t lay ahead of the server's clock.
void countReportAhead();
// A transaction of reports committed.
void countCommitGroup(std::size_t reports);
// A report whose password needed the slow hash.
void countSlowVerification();
// A request refused by the limit on failures (a report or a sign-in).
void countLimitedRequest();
// A statement or connection the database refused.
void countDatabaseError();
// Connections open now (being read, answered, or with a route's thread).
void countConnection(int change);
// Live update streams open now.
void countLiveStream(int change);

// Every metric, as the text format 0.0.4 has it.
std::string metricsText();

// Adds GET /metrics.
void addMetricsRoute(Routes& routes);
