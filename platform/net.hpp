// Network services for the report exchange: waiting for a route to the report
// host, the socket library, and one TCP connection that carries a request and
// its answer.
//
// Every call here either succeeds or says so with its result; none shows a
// message, none raises SIGPIPE, and none waits longer than its time-out in
// netTimeouts. Nothing is allocated by this module.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#ifdef _WIN32
using SocketHandle = std::uintptr_t;                            // a SOCKET
constexpr SocketHandle invalidSocketHandle = ~SocketHandle{0};  // INVALID_SOCKET
#else
using SocketHandle = int;  // an open socket descriptor
constexpr SocketHandle invalidSocketHandle = -1;
#endif

constexpr std::size_t hostNameCapacity = 254;  // the longest DNS name, 253, and a terminator
constexpr std::uint16_t reportPort = 80;

// How long each step may wait. The program uses these defaults; tests shorten
// them before an exchange starts. Read by the report cycle thread only while
// no one writes them.
struct NetTimeouts {
    std::chrono::milliseconds routeWait{15000};  // for a route to the report host
    std::chrono::milliseconds routePoll{250};    // between two looks for that route
    std::chrono::milliseconds connect{10000};    // for the TCP handshake
    std::chrono::milliseconds send{20000};       // for the request to leave
    std::chrono::milliseconds answer{20000};     // for the whole answer, from the first read
};

extern NetTimeouts netTimeouts;

// An IPv4 address and port, both in host byte order, or an IPv6 address (in
// network byte order, as written) when ipv6 is set.
struct HostAddress {
    std::uint32_t ipv4;
    std::uint16_t port;
    bool ipv6 = false;
    std::array<std::uint8_t, 16> ipv6Address{};
};

// The data connection: waits at most netTimeouts.routeWait until host resolves
// and the system has a route to one of its addresses (a connected datagram
// socket, which sends nothing). Returns at once when the route is there;
// false when there is none in time, including a name that does not resolve.
bool waitForRoute(std::string_view host);

// Starts the socket library (Windows Sockets 2.2; nothing on Linux). True
// when sockets can be used.
bool startSocketLibrary();

// Closes socket if it is open and leaves it invalidSocketHandle; also the
// release of the socket library. Safe to call with nothing open.
void stopSocketLibrary(SocketHandle& socket);

// A new TCP socket for IPv4 (for the address's family), or invalidSocketHandle.
SocketHandle openTcpSocket();
SocketHandle openTcpSocketFor(const HostAddress& address);

// The first IPv4 address of host, with port; for a host that has no IPv4
// address (an IPv6-only server, NAT64), its first IPv6 address. False when it
// has neither.
bool resolveHostAddress(std::string_view host, std::uint16_t port, HostAddress& address);

// Waits until socket can be read (or written, with forWriting), or has an
// error or hang-up that the next call on it reports, before deadline; false
// on time-out or failure. For layers above a connected socket (TLS).
bool waitForSocketReady(SocketHandle socket, bool forWriting, std::chrono::steady_clock::time_point deadline);

// Connects within netTimeouts.connect; false on refusal, time-out or an
// invalid socket.
bool connectSocket(SocketHandle socket, const HostAddress& address);

// Connects to port on host: every address of host, IPv4 and IPv6, is tried
// in the resolver's order with a socket of its family, all within
// netTimeouts.connect (platform/address.hpp shares the time out). The
// connected socket, or invalidSocketHandle when the name does not resolve or
// no address took the connection.
SocketHandle connectToHost(std::string_view host, std::uint16_t port);

// Closes socket if it is open and leaves it invalidSocketHandle; the socket
// library stays started.
void closeSocket(SocketHandle& socket);

// Sends all of data, finishing short sends; false when any part cannot be
// sent within netTimeouts.send or nothing is to be sent.
bool sendAll(SocketHandle socket, std::span<const char> data);

// Reads into buffer until the peer closes, the buffer is full or
// netTimeouts.answer has passed since the call; returns the bytes read. A
// reset connection ends the answer like a close.
std::size_t receiveAnswer(SocketHandle socket, std::span<char> buffer);
