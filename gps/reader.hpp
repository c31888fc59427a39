// The GPS port and the reader thread that frames sentences out of it and
// dispatches them into the GPS state.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "gps/framing.hpp"
#include "platform/serial.hpp"

// The open GPS port, or invalidPortHandle when none is open.
extern std::atomic<PortHandle> gpsPort;
// Non-zero asks the reader thread to end before its next read.
extern std::atomic<std::uint8_t> readerStop;

// Opens the port and starts the reader thread on it. On failure the opening
// has shown its message and made "Start" available again; returns false.
bool startGpsInput(const wchar_t* portName, std::int32_t baudRate);

// The open, configured port, or invalidPortHandle after a failure that it has
// already reported (116 or 118) with the run state toggled back.
PortHandle openGpsPort(const wchar_t* portName, std::int32_t baudRate);

// Reads at most 512 bytes from gpsPort into the zero-filled chunk; returns the
// number read, 0 when nothing was read.
std::size_t readGpsChunk(std::span<char, chunkCapacity> chunk);

// The reader thread's routine; returns 0 when readerStop ends it.
int runSentenceReader();
