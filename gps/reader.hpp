// The GPS port and the reader thread that frames sentences out of it and
// dispatches them into the GPS state.
//
// A reader runs only on a port that opened. When its port fails (the receiver
// is unplugged, the line hangs up) it closes it, waits about a second, then
// longer up to a few seconds, and opens the same port name with the same
// baud rate again until it comes back; it shows nothing while it waits.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "gps/framing.hpp"
#include "platform/serial.hpp"

#include <array>

// The reader's state, one record for the whole program.
struct GpsReader {
    // The open GPS port, or invalidPortHandle when none is open (also while
    // the reader waits to open a failed port again).
    std::atomic<PortHandle> port;
    // Non-zero asks the reader thread to end before its next read; it then
    // closes its port.
    std::atomic<std::uint8_t> stop;
    // Reader threads started and not yet ended: 0 or 1.
    std::atomic<int> active;
    // The port name and baud rate that the reader opens again after a
    // failure. Written by startGpsInput while no reader runs, read by the
    // reader only.
    std::array<wchar_t, portPathCapacity> portName;  // a longer name never opens
    std::int32_t baudRate;
};

extern GpsReader gpsReader;

// Opens the port and starts the reader thread on it; a reader already running
// is ended first, so exactly one reader is left on a port that opened. On
// failure the opening has shown its message and made "Start" available again;
// no reader is started and false is returned. Called from one thread at a time.
bool startGpsInput(const wchar_t* portName, std::int32_t baudRate);

// Ends the running reader, if any, and returns once it has ended and closed
// its port. gpsReader.stop is left non-zero.
void stopGpsInput();

// The open, configured port, or invalidPortHandle after a failure that it has
// already reported (116 or 118) with the run state toggled back.
PortHandle openGpsPort(const wchar_t* portName, std::int32_t baudRate);

// Reads at most 512 bytes from gpsReader.port into chunk; returns the
// number read, 0 when nothing was read. Waits at most half a second for data
// to begin, then for the burst to end.
// A port that fails is closed here and gpsReader.port made invalid.
std::size_t readGpsChunk(std::span<char, chunkCapacity> chunk);

// The reader thread's routine; returns 0 when gpsReader.stop ends it.
int runSentenceReader();
