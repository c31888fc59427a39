// The log file of the Windows service: the status lines and the diagnostic
// lines, each begun with the local time, in a file that rotates so that it
// never grows without bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Once the file holds this many bytes it is renamed NAME.1 (replacing the
// older one) and a new file begun, at the end of a line: the two together
// hold at most about twice this. 1 MiB is about 8000 reports of four lines.
constexpr std::uint64_t serviceLogCapacity = std::uint64_t{1} << 20;

// "2026-12-07 18:30:05 ": the local time before each line.
constexpr std::size_t logTimeLength = 20;

// Opens the log at path (UTF-8) for appending, creating it when it is
// missing, to rotate at capacityBytes; the Windows error code, 0 on success.
unsigned long openLogFile(const char* path, std::uint64_t capacityBytes);

// Writes bytes to the open log, the local time at the start of each line:
// the number of bytes taken, or -1 with error set (EIO, or EBADF when no log
// is open). An output writer's write (platform/output.hpp); one caller at a
// time.
long writeLogFile(std::span<const char> bytes, int& error);

// Closes the open log, if any.
void closeLogFile();
