// The GPS port and the reader thread that frames sentences out of it and
// dispatches them into the GPS state.
//
// A reader runs only on a port that opened. When its port fails (the receiver
// is unplugged, the line hangs up) it closes it, waits about a second, then
// longer up to a few seconds, and opens the same port name with the same
// baud rate again until it comes back; it shows nothing while it waits.
//
// Instead of the serial port the reader can read a network source (see
// gps/source.hpp): a gpsd or a plain TCP NMEA stream. Its sentences are
// framed and decoded alike, and a lost connection is made again as a failed
// port is opened again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "gps/framing.hpp"
#include "gps/source.hpp"
#include "platform/serial.hpp"
#include "platform/stream.hpp"

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
    // The connection to the network source, or invalidStreamHandle when none
    // is open. Only one of port and stream is ever in use.
    std::atomic<StreamHandle> stream;
    // The source read instead of the port, when network is true. Written by
    // startGpsInput while no reader runs, read by the reader only;
    // gpsdLines is the reader's own.
    bool network;
    NetworkSource source;
    GpsdLineFilter gpsdLines;
};

extern GpsReader gpsReader;

// Opens the port and starts the reader thread on it; a reader already running
// is ended first, so exactly one reader is left on a port that opened. On
// failure the opening has shown its message; no reader is started and false
// is returned, "Start" left as it was for the caller to decide. Called from
// one thread at a time.
// A source that is not empty (the "source" setting, zero-terminated) is read
// instead of the port: a source that cannot be understood or reached fails
// like a port that cannot be opened.
bool startGpsInput(const wchar_t* portName, std::int32_t baudRate, const char* source = nullptr);

// Ends the running reader, if any, and returns once it has ended and closed
// its port. gpsReader.stop is left non-zero.
void stopGpsInput();

// The open, configured port, or invalidPortHandle after a failure that it has
// already reported (116 or 118).
PortHandle openGpsPort(const wchar_t* portName, std::int32_t baudRate);

// The connection to the source, asked for the sentences when it is a gpsd; or
// invalidStreamHandle after "Can't open GPS-port!".
StreamHandle openGpsSource(const char* source);

// Reads at most 512 bytes from gpsReader.port (or gpsReader.stream) into
// chunk; returns the number read, 0 when nothing was read. Waits at most half
// a second for data to begin, then for the burst to end.
// A port or connection that fails is closed here and made invalid. From a
// gpsd, its JSON lines are dropped and the count is of the bytes left.
std::size_t readGpsChunk(std::span<char, chunkCapacity> chunk);

// The reader thread's routine; returns 0 when gpsReader.stop ends it.
int runSentenceReader();
