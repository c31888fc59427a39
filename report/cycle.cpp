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

#include "app/statuslog.hpp"
#include "gps/nmea.hpp"
#include "gps/reader.hpp"
#include "report/exchange.hpp"
#include "settings/settings.hpp"

CycleTiming cycleTiming;

namespace {

void sleepMilliseconds(std::int64_t milliseconds) {
    if (milliseconds <= 0) return;
    // sleep_until goes back to sleep after an early wake until the deadline.
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds));
}

// One pass: report a usable fix or show that there is none.
void reportOnce() {
    double latitude = 0.0;
    double longitude = 0.0;
    double speed = 0.0;
    int valid = 0;
    takePositionFix(&latitude, &longitude, &speed, &valid);
    if (valid != 0 && latitude != 0.0 && longitude != 0.0) {
        runReportExchange(latitude, longitude, speed);
    } else {
        showMessage(messageCantFindSatellites);
    }
}

}  // namespace

int runReportCycle() {
    showMessage(messageTryingGps);
    if (!startGpsInput(settings.portName.data(), settings.baudRate, settings.source.data())) return 0;
    sleepMilliseconds(cycleTiming.startupWaitMs);
    for (std::uint64_t pass = 1;; ++pass) {
        reportOnce();
        sleepMilliseconds(static_cast<std::int64_t>(settings.reportInterval) * cycleTiming.intervalSecondMs);
        clearStatusLog();
        if (pass == cycleTiming.passLimit) return 0;
    }
}
