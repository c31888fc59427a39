// The report cycle: open the GPS input, give the receiver half a minute, then
// once per report interval either report the position or say that there is no
// usable fix, clearing the status log after every pass.
//
// Waits are measured on the monotonic clock in 64-bit milliseconds, so a
// changed wall clock does not shorten or stretch them and every interval the
// settings allow (up to the largest 32-bit number of seconds) is waited whole.

#include "report/cycle.hpp"

#include <chrono>
#include <thread>

#include "gps/nmea.hpp"
#include "gps/reader.hpp"
#include "report/exchange.hpp"
#include "report/fixtime.hpp"
#include "report/forward.hpp"
#include "report/protocol.hpp"
#include "settings/settings.hpp"
#include "status/statuslog.hpp"

CycleTiming cycleTiming;

namespace {

void sleepMilliseconds(std::int64_t milliseconds) {
    if (milliseconds <= 0) return;
    // sleep_until goes back to sleep after an early wake until the deadline.
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds));
}

// One pass: report a usable fix or show that there is none. With the queue
// on, the report carries its time and the kept reports may follow until
// intervalMs after the live exchange; returns the monotonic time at which the
// next pass is due, or 0 for a whole interval from the return.
std::int64_t reportOnce(std::int64_t intervalMs) {
    const ReportPosition position = takeReportPosition();
    if (!positionUsable(position, settings.staleAfterSeconds, monotonicMilliseconds())) {
        showMessage(messageCantFindSatellites);
        return 0;
    }
    const ReportedCoordinates reported = reportedCoordinates(position, settings.unsignedPositions);
    if (!settings.queueGiven) {
        runReportExchange(reported.latitude, reported.longitude, position.fix.speed);
        return 0;
    }
    // Never the t of an earlier report: the server would take it for that one sent again.
    const FixTimeText fixTime =
        formatFixTime(nextReportTime(reportTimes, chooseFixTime(position.clock, systemUtcNow())));
    return reportAndForward(formatReportNumber(reported.latitude), formatReportNumber(reported.longitude),
                            formatReportNumber(position.fix.speed), fixTime, intervalMs);
}

// A renewal time of 0 is never: stale whatever the limit.
bool renewedWithin(std::int64_t renewedMs, std::int64_t limitMs, std::int64_t nowMs) {
    return renewedMs != 0 && nowMs - renewedMs < limitMs;
}

}  // namespace

bool positionUsable(const ReportPosition& position, std::int32_t staleAfterSeconds, std::int64_t nowMs) {
    const PositionFix& fix = position.fix;
    if (fix.valid == 0 || fix.latitude == 0.0 || fix.longitude == 0.0) return false;
    if (staleAfterSeconds <= 0) return true;
    const std::int64_t limitMs = std::int64_t{staleAfterSeconds} * 1000;
    return renewedWithin(position.renewed.ggaMs, limitMs, nowMs) &&
           renewedWithin(position.renewed.rmcMs, limitMs, nowMs);
}

ReportedCoordinates reportedCoordinates(const ReportPosition& position, bool unsignedPositions) {
    ReportedCoordinates reported{position.fix.latitude, position.fix.longitude};
    if (unsignedPositions) return reported;
    if (position.latitudeHemisphere == 'S') reported.latitude = -reported.latitude;
    if (position.longitudeHemisphere == 'W') reported.longitude = -reported.longitude;
    return reported;
}

int runReportCycle() {
    showMessage(messageTryingGps);
    decodingOptions = {settings.anyTalker, settings.checksumsRequired, settings.staleAfterSeconds > 0};
    if (!startGpsInput(settings.portName.data(), settings.baudRate, settings.source.data())) {
        toggleRunState();  // 0 since "Start": the user may try again once the port is fixed
        return 0;
    }
    sleepMilliseconds(cycleTiming.startupWaitMs);
    if (settings.queueGiven) openSettingsQueue();
    for (std::uint64_t pass = 1;; ++pass) {
        const std::int64_t intervalMs =
            static_cast<std::int64_t>(settings.reportInterval) * cycleTiming.intervalSecondMs;
        const std::int64_t dueMs = reportOnce(intervalMs);
        sleepMilliseconds(dueMs == 0 ? intervalMs : dueMs - monotonicMilliseconds());
        clearStatusLog();
        if (pass == cycleTiming.passLimit) return 0;
    }
}
