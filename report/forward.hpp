// Store and forward: with a queue line in the settings, a report that could
// not be delivered is kept in the queue file, and after a report that the
// server took, the kept ones follow, oldest first, until the next report is
// due.
#pragma once

#include <cstdint>

#include "report/fixtime.hpp"
#include "report/queue.hpp"

// The queue of the running cycle; used only on the report cycle's thread.
extern ReportQueue reportQueue;
// The t of the last report sent or kept; the same thread.
extern ReportTimes reportTimes;

// What an exchange's outcome means for a report: delivered, never to be sent
// again (the server refused it for good), or to be kept and sent again.
enum class OutcomeKind : std::uint8_t { delivered, final, keep };
OutcomeKind outcomeKind(std::uint16_t outcome);

// Opens the queue file that settings.queuePath names, if it is not open yet,
// and makes the latest t in it the last one sent (a report kept before a
// restart); false (diagnosed) when it cannot be opened.
bool openSettingsQueue();

// One live report with its time: the usual lines and outcome; an undelivered
// report is kept ("Kept for later: N waiting."); after a delivered one the
// kept reports are sent quietly until the queue is empty ("Sent N kept
// reports."), one fails, or intervalMs have passed since the live exchange
// ended. Returns that moment (monotonic milliseconds): the next report is due.
std::int64_t reportAndForward(const NumberText& latText, const NumberText& lonText,
                              const NumberText& speedText, const FixTimeText& fixTime,
                              std::int64_t intervalMs);
