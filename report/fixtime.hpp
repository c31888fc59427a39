// The time at which a reported position was taken, as the report's t field
// carries it: the receiver's own date and time where it gave a date, the
// system's UTC clock otherwise; and the rule that keeps one device's times
// rising.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "gps/nmea.hpp"

constexpr std::size_t fixTimeTextCapacity = 21;             // "YYYY-MM-DDTHH:MM:SSZ" and a terminator
using FixTimeText = std::array<char, fixTimeTextCapacity>;  // zero-terminated

// A moment in UTC to the second.
struct UtcTime {
    std::int32_t year;
    std::int32_t month, day, hour, minute, second;

    bool operator==(const UtcTime&) const = default;
};

// The civil date and time of secondsSinceEpoch (Unix time, UTC).
UtcTime utcFromUnixSeconds(std::int64_t secondsSinceEpoch);

// The Unix time of a civil date and time; the fields need not be in range
// (a day of 0 is the last day of the month before).
std::int64_t unixSecondsFromUtc(const UtcTime& time);

// The day the program was built (00:00:00 UTC): no receiver date is earlier.
UtcTime programBuildDate();

// A receiver's week counter has ten bits and wraps every 1024 weeks, and some
// receivers then give a date 1024 weeks (19.6 years) in the past. A date
// before builtOn is moved forward by 1024 weeks until it is not.
constexpr std::int64_t gpsWeekRolloverSeconds = 1024LL * 7 * 86400;
UtcTime correctWeekRollover(const UtcTime& time, const UtcTime& builtOn);

// The fix's time: the time of the GGA that gave the position, on the date of
// the newer of RMC and ZDA that carries one (years 2000 to 2099), a day moved
// when the GGA time and that sentence's own time lie on either side of
// midnight, and corrected for a week rollover against builtOn; systemNow when
// neither carries a date.
UtcTime chooseFixTime(const ReceiverClock& clock, const UtcTime& systemNow,
                      const UtcTime& builtOn = programBuildDate());

// Reads "YYYY-MM-DDTHH:MM:SSZ" as formatFixTime writes it; false for any other text.
bool readFixTime(std::string_view text, UtcTime& time);

// The t of the last report sent or kept (or found in the queue file), so that
// the next one is later.
struct ReportTimes {
    bool known = false;
    std::int64_t lastSeconds = 0;  // Unix time
};

// The t of a report whose position was taken at taken: taken itself when it
// is later than the last, else the last plus one second; it becomes the last.
UtcTime nextReportTime(ReportTimes& times, const UtcTime& taken);

// Makes time the last when it is later than the last (a report kept earlier).
void noteReportTime(ReportTimes& times, const UtcTime& time);

// The system's UTC clock, to the second.
UtcTime systemUtcNow();

// "YYYY-MM-DDTHH:MM:SSZ", each field with its leading zeros; a year outside
// 0 to 9999 is written as the nearest of them.
FixTimeText formatFixTime(const UtcTime& time);
