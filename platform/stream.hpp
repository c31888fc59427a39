// A byte stream from the network that stands in for the serial port: one TCP
// connection to a server that sends NMEA (a gpsd, a multiplexer, a phone that
// shares its receiver). It is read like the port, in bursts, with the same
// outcomes.
//
// Nothing is allocated by this module for an address given as digits; a
// host name goes through the system's resolver.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/serial.hpp"

#ifdef _WIN32
using StreamHandle = std::uintptr_t;                            // a connected SOCKET
constexpr StreamHandle invalidStreamHandle = ~StreamHandle{0};  // INVALID_SOCKET
#else
using StreamHandle = int;  // a connected socket descriptor
constexpr StreamHandle invalidStreamHandle = -1;
#endif

// Connects to port on host: an IPv4 address, an IPv6 address (without
// brackets) or a name, whose addresses, IPv4 and IPv6, are tried in the
// resolver's order. Gives up after timeout in all. A dead peer is noticed
// within about half a minute of silence (TCP keep-alive), so a read then
// fails instead of waiting for ever. invalidStreamHandle when no connection
// could be made.
StreamHandle openStream(const char* host, std::uint16_t port, std::chrono::milliseconds timeout);

// Sends all of data within timeout; false when it cannot.
bool writeStream(StreamHandle stream, std::span<const char> data, std::chrono::milliseconds timeout);

// Waits at most waitMilliseconds for data; once some has arrived, waits on
// until nothing more has come for a tenth of a second (or buffer.size() bytes
// are there) and reads them, at most buffer.size(). failed when the peer has
// closed or reset the connection, or the handle is invalid.
PortReadResult readStream(StreamHandle stream, std::span<char> buffer, int waitMilliseconds);

// Closes an open stream; an invalid handle is ignored.
void closeStream(StreamHandle stream);

// The diagnostic line (platform/diagnostics.hpp) for the last failure of
// openStream or writeStream on this thread: "cannot open GPS source", the
// source as the user wrote it, and the resolver's or the system's reason.
void reportStreamFailure(std::string_view source);
