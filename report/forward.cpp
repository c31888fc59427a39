// Store and forward: keeping an undelivered report, and sending the kept ones
// after a delivered report, oldest first.
//
// The live position always goes first: the backlog is sent only after it was
// delivered and only until the next report is due. A kept report leaves the
// queue only on the server's "1", or on a final answer ("2" to "6"), which is
// shown because that report is then given up.
#include "report/forward.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "gps/nmea.hpp"
#include "platform/diagnostics.hpp"
#include "report/exchange.hpp"
#include "report/text.hpp"
#include "settings/settings.hpp"
#include "status/statuslog.hpp"

ReportQueue reportQueue;
ReportTimes reportTimes;

namespace {

struct OutcomeRule {
    std::uint16_t outcome;
    OutcomeKind kind;
};

// Every other outcome (no connection, no answer, not "200 OK", "0") keeps
// the report: the server did not store it.
constexpr std::array<OutcomeRule, 6> outcomeRules{{
    {messageSentSuccessfully, OutcomeKind::delivered},
    {messageWrongLogin, OutcomeKind::final},
    {messageDownloadNewVersion, OutcomeKind::final},
    {messageAuthorizationError, OutcomeKind::final},
    {messageWrongPassword, OutcomeKind::final},
    {messageBadQuery, OutcomeKind::final},
}};

void keepLiveReport(const KeptReport& report) {
    if (!openSettingsQueue()) return;
    const KeepResult result = keepReport(reportQueue, report);
    if (result == KeepResult::failed) return;
    if (result == KeepResult::keptDroppingOldest && !reportQueue.dropShown) {
        reportQueue.dropShown = true;
        showMessage(messageQueueFull);
    }
    showCountMessage(messageKeptForLater, reportQueue.waiting);
}

void sendKeptReports(std::int64_t deadlineMs) {
    if (!openSettingsQueue()) return;
    KeptReport kept;
    while (reportQueue.waiting > 0 && monotonicMilliseconds() < deadlineMs &&
           oldestKeptReport(reportQueue, kept)) {
        const std::uint16_t outcome =
            exchangeReportTexts(kept.latitude, kept.longitude, kept.speed, terminatedText(kept.time), false);
        const OutcomeKind kind = outcomeKind(outcome);
        if (kind == OutcomeKind::keep) break;
        if (kind == OutcomeKind::final) showMessage(outcome);
        if (kind == OutcomeKind::delivered) ++reportQueue.sentKept;
        if (!removeOldestKeptReport(reportQueue)) break;
    }
    if (reportQueue.waiting == 0 && reportQueue.sentKept > 0) {
        showCountMessage(messageSentKeptReports, reportQueue.sentKept);
        reportQueue.sentKept = 0;
    }
}

}  // namespace

OutcomeKind outcomeKind(std::uint16_t outcome) {
    for (const OutcomeRule& rule : outcomeRules) {
        if (rule.outcome == outcome) return rule.kind;
    }
    return OutcomeKind::keep;
}

bool openSettingsQueue() {
    if (reportQueue.file != noDataFile) return true;
    std::array<char, queuePathFullCapacity> path;
    if (!resolveQueuePath(settings.queuePath.data(), path)) {
        reportFailure("cannot open queue file", terminatedText(settings.queuePath), "no usable path");
        return false;
    }
    if (!openReportQueue(reportQueue, path.data(), settings.queueLimit)) return false;
    FixTimeText newest;
    UtcTime time;
    if (newestKeptTime(reportQueue, newest) && readFixTime(terminatedText(newest), time))
        noteReportTime(reportTimes, time);
    return true;
}

std::int64_t reportAndForward(const NumberText& latText, const NumberText& lonText,
                              const NumberText& speedText, const FixTimeText& fixTime,
                              std::int64_t intervalMs) {
    const std::uint16_t outcome =
        exchangeReportTexts(latText, lonText, speedText, terminatedText(fixTime), true);
    // As without the queue, the next report is due an interval after this
    // exchange ended; the backlog fills that wait, never more.
    const std::int64_t dueMs = monotonicMilliseconds() + intervalMs;
    switch (outcomeKind(outcome)) {
        case OutcomeKind::keep:
            keepLiveReport({latText, lonText, speedText, fixTime});
            break;
        case OutcomeKind::delivered:
            sendKeptReports(dueMs);
            break;
        case OutcomeKind::final:  // refused for good: keeping it would only fail again
            break;
    }
    return dueMs;
}
