// The report cycle: the program's working loop after "Start".
#pragma once

#include <cstdint>

#include "gps/nmea.hpp"

// The cycle's clock. The program keeps these values; tests shorten the waits
// and end the loop after a number of passes.
struct CycleTiming {
    std::int64_t startupWaitMs = 30000;    // from opening the GPS input to the first pass
    std::int64_t intervalSecondMs = 1000;  // one second of the report interval
    std::uint64_t passLimit = 0;           // passes before runReportCycle returns; 0 for ever
};

// Set before a cycle starts, read only by the cycle's thread.
extern CycleTiming cycleTiming;

// Opens the GPS input, waits 30 seconds, then for ever reports the position
// (or says there is no usable fix) once per report interval. Returns only when
// the GPS input cannot be opened, having made "Start" available again (or
// after cycleTiming.passLimit passes).
int runReportCycle();

// A position is reported when the RMC status is valid, neither coordinate is
// 0.0 and, with staleAfterSeconds above 0, both GGA and RMC were renewed less
// than that many seconds before nowMs (monotonic milliseconds).
bool positionUsable(const ReportPosition& position, std::int32_t staleAfterSeconds, std::int64_t nowMs);

// The latitude and longitude a report carries: negative south of the equator
// ("S") and west of Greenwich ("W") of the position's own GGA record, or the
// unsigned degrees as decoded when unsignedPositions is set.
struct ReportedCoordinates {
    double latitude;
    double longitude;
};
ReportedCoordinates reportedCoordinates(const ReportPosition& position, bool unsignedPositions);
