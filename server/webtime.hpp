// Times of the web page and its API: ISO 8601 in UTC, to and from
// microseconds since 1970-01-01T00:00:00Z.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// "2026-12-07T09:20:00Z" is 20 characters; six fraction digits add 7.
constexpr std::size_t isoTimeCapacity = 32;

// Reads YYYY-MM-DDTHH:MM:SS with an optional fraction (up to 9 digits, kept
// to the microsecond) and a zone of "Z" or +HH:MM / -HH:MM, converted to UTC.
// A space or "t" may stand for "T", "z" for "Z". False for anything else,
// including a day that its month does not have and years before 1970.
bool parseIsoTime(std::string_view text, std::int64_t& unixMicros);

constexpr std::size_t isoDateLength = 10;  // "2026-12-07"

// A time as parseIsoTime reads it, or a date alone (YYYY-MM-DD) as a bound of
// a range: its midnight UTC as a start, the last microsecond of that day as an
// end, so a date as both bounds selects that whole day.
bool parseRangeTime(std::string_view text, bool rangeEnd, std::int64_t& unixMicros);

// Appends the UTC time as YYYY-MM-DDTHH:MM:SSZ, with the fraction in
// milliseconds or microseconds only when it is not zero.
void appendIsoTime(std::string& out, std::int64_t unixMicros);

// appendIsoTime as a string of its own.
std::string formatIsoTime(std::int64_t unixMicros);

// A device's report interval, judged from the times of its recent reports in
// order: the median gap between neighbours, so that a pause or a burst does
// not move it. 0 when fewer than two times are given.
std::int64_t medianGapMicros(std::span<const std::int64_t> timesUs);

// A device is silent once more than three of its report intervals have
// passed since its last report; never while its interval is unknown (0).
constexpr int silentAfterIntervals = 3;
bool deviceSilent(std::int64_t lastUs, std::int64_t intervalUs, std::int64_t nowUs);
