// The time at which a reported position was taken, as the report's t field
// carries it: the receiver's own date and time where it gave a date, the
// system's UTC clock otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

// The fix's time: the RMC date and time when the RMC carried a date (years
// 2000 to 2099); otherwise the GGA time on the ZDA date, a day moved when the
// two clocks lie on either side of midnight; otherwise systemNow.
UtcTime chooseFixTime(const ReceiverClock& clock, const UtcTime& systemNow);

// The system's UTC clock, to the second.
UtcTime systemUtcNow();

// "YYYY-MM-DDTHH:MM:SSZ", each field with its leading zeros; a year outside
// 0 to 9999 is written as the nearest of them.
FixTimeText formatFixTime(const UtcTime& time);
