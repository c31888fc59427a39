// Times of the web page and its API: ISO 8601 in UTC, to and from
// microseconds since 1970-01-01T00:00:00Z.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "2026-12-07T09:20:00Z" is 20 characters; six fraction digits add 7.
constexpr std::size_t isoTimeCapacity = 32;

// Reads YYYY-MM-DDTHH:MM:SS with an optional fraction (up to 9 digits, kept
// to the microsecond) and a zone of "Z" or +HH:MM / -HH:MM, converted to UTC.
// A space or "t" may stand for "T", "z" for "Z". False for anything else,
// including a day that its month does not have and years before 1970.
bool parseIsoTime(std::string_view text, std::int64_t& unixMicros);

// Appends the UTC time as YYYY-MM-DDTHH:MM:SSZ, with the fraction in
// milliseconds or microseconds only when it is not zero.
void appendIsoTime(std::string& out, std::int64_t unixMicros);

std::string formatIsoTime(std::int64_t unixMicros);
