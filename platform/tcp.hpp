// The core of a TCP client, one realisation per operating system: a connect
// with a deadline, the wait for a socket to become ready, sending all of a
// buffer and one receive that does not wait. The report's connection
// (platform/net) and the network NMEA source (platform/stream) are both made
// of it; deadlines are on the monotonic clock, so a changed wall clock does
// not shorten or stretch a wait.
//
// Errors are the system's own codes (errno on Linux, Windows Sockets codes on
// Windows), for the callers' diagnostic lines; 0 is success. Sockets are
// non-blocking from the connect on, and nothing here raises SIGPIPE or
// allocates.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/address.hpp"

using TcpClock = std::chrono::steady_clock;

// What a wait found.
enum class TcpReadiness : std::uint8_t {
    ready,     // the socket can be read or written
    ended,     // an error or hang-up that the next call on the socket reports
    timedOut,  // the deadline passed first
    failed,    // the wait itself failed (an invalid socket)
};

// Waits until socket can be read (or written, with forWriting) or has ended,
// before deadline.
TcpReadiness tcpWaitReady(SocketHandle socket, bool forWriting, TcpClock::time_point deadline);

// Makes socket non-blocking and connects it to address before deadline: 0, or
// the error of the step that failed (the system's time-out error when the
// deadline passed).
int tcpConnect(SocketHandle socket, const sockaddr* address, std::size_t length,
               TcpClock::time_point deadline);

// Sends all of data before deadline, finishing short sends: 0, or the error
// that stopped it (the time-out error when the deadline passed, a reset one
// when the peer takes nothing).
int tcpSendAll(SocketHandle socket, std::span<const char> data, TcpClock::time_point deadline);

enum class TcpReceiveStatus : std::uint8_t {
    data,    // count bytes were read
    none,    // nothing is waiting
    closed,  // the peer closed the connection
    failed,  // reset, or another failure
};

struct TcpReceived {
    TcpReceiveStatus status;
    std::size_t count;
};

// Reads what is waiting into buffer, at most buffer.size() bytes, without
// waiting.
TcpReceived tcpReceive(SocketHandle socket, std::span<char> buffer);

// The system's time-out error (ETIMEDOUT, WSAETIMEDOUT).
int tcpTimeoutError();
