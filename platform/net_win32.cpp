// Network services on Windows: Windows Sockets 2 with the same route test and
// deadlines as on Linux. Sockets stay non-blocking once connected; every wait
// is a select() for the time left before its step's deadline.
#include "platform/net.hpp"

#include "platform/address.hpp"
#include "platform/diagnostics.hpp"
#include "platform/process.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <thread>

NetTimeouts netTimeouts;

namespace {

using Clock = std::chrono::steady_clock;

SOCKET toSocket(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

enum class Wait { read, write, connect };

// Waits until socket is ready for kind before deadline (a failed connect
// counts as ready: the caller reads its error); false on time-out or failure.
bool waitForSocket(SocketHandle socket, Wait kind, Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
    const long long micros = std::max<long long>(left.count(), 0);
    timeval timeout{static_cast<long>(micros / 1000000), static_cast<long>(micros % 1000000)};
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(toSocket(socket), &ready);
    FD_SET(toSocket(socket), &failed);
    const int count = kind == Wait::read
                          ? select(0, &ready, nullptr, nullptr, &timeout)
                          : select(0, nullptr, &ready, kind == Wait::connect ? &failed : nullptr, &timeout);
    return count > 0;
}

// A datagram socket connected to the address proves a route without sending.
bool hasRouteTo(const HostAddress& address) {
    const SOCKET probe = socket(address.ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET) return false;
    const SocketAddress socketAddress = toSocketAddress(address);
    const bool routed = connect(probe, socketAddress.get(), socketAddress.length) == 0;
    closesocket(probe);
    return routed;
}

bool lastErrorIsWouldBlock() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

}  // namespace

// The route test uses sockets before the exchange starts its own library
// reference, so it holds one of its own for the wait. When it finds no route,
// the diagnostic line says why: the name did not resolve, or its address has
// no route.
bool waitForRoute(std::string_view host) {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    const Clock::time_point deadline = Clock::now() + netTimeouts.routeWait;
    bool routed = false;
    bool resolved = false;
    for (;;) {
        HostAddress address{};
        resolved = resolveHostAddress(host, reportPort, address);
        if (resolved && hasRouteTo(address)) {
            routed = true;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) break;
        std::this_thread::sleep_for(std::min<Clock::duration>(netTimeouts.routePoll, deadline - now));
    }
    if (!routed) {
        std::array<char, 160> reason{};
        reportFailure(resolved ? "no route to report host" : "cannot resolve report host", host,
                      windowsErrorText(static_cast<unsigned long>(WSAGetLastError()), reason));
    }
    WSACleanup();
    return routed;
}

bool startSocketLibrary() {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

// Closing the socket and releasing the library, as the handheld's one
// WSACleanup did; a release without a start has no effect.
void stopSocketLibrary(SocketHandle& socket) {
    if (socket != invalidSocketHandle) {
        closesocket(toSocket(socket));
        socket = invalidSocketHandle;
    }
    WSACleanup();
}

SocketHandle openTcpSocket() {
    return openTcpSocketFor(HostAddress{});
}

SocketHandle openTcpSocketFor(const HostAddress& address) {
    const SOCKET opened = WSASocketW(address.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                     WSA_FLAG_NO_HANDLE_INHERIT);
    return opened == INVALID_SOCKET ? invalidSocketHandle : static_cast<SocketHandle>(opened);
}

bool resolveHostAddress(std::string_view host, std::uint16_t port, HostAddress& address) {
    return lookUpHostAddress(host, port, address) == 0;
}

bool waitForSocketReady(SocketHandle socket, bool forWriting, Clock::time_point deadline) {
    return waitForSocket(socket, forWriting ? Wait::write : Wait::read, deadline);
}

bool connectSocket(SocketHandle socket, const HostAddress& address) {
    if (socket == invalidSocketHandle) return false;
    u_long nonBlocking = 1;
    if (ioctlsocket(toSocket(socket), FIONBIO, &nonBlocking) != 0) return false;
    const Clock::time_point deadline = Clock::now() + netTimeouts.connect;
    const SocketAddress socketAddress = toSocketAddress(address);
    if (connect(toSocket(socket), socketAddress.get(), socketAddress.length) == 0) return true;
    if (!lastErrorIsWouldBlock()) return false;
    if (!waitForSocket(socket, Wait::connect, deadline)) return false;
    int failure = 0;
    int failureLength = sizeof failure;
    if (getsockopt(toSocket(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure),
                   &failureLength) != 0)
        return false;
    return failure == 0;
}

bool sendAll(SocketHandle socket, std::span<const char> data) {
    if (data.empty()) return false;
    const Clock::time_point deadline = Clock::now() + netTimeouts.send;
    std::size_t sent = 0;
    while (sent < data.size()) {
        const int ask = static_cast<int>(std::min<std::size_t>(data.size() - sent, 1 << 20));
        const int count = send(toSocket(socket), data.data() + sent, ask, 0);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
        } else if (count == SOCKET_ERROR && lastErrorIsWouldBlock()) {
            if (!waitForSocket(socket, Wait::write, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::size_t receiveAnswer(SocketHandle socket, std::span<char> buffer) {
    const Clock::time_point deadline = Clock::now() + netTimeouts.answer;
    std::size_t received = 0;
    while (received < buffer.size()) {
        if (!waitForSocket(socket, Wait::read, deadline)) break;
        const int ask = static_cast<int>(std::min<std::size_t>(buffer.size() - received, 1 << 20));
        const int count = recv(toSocket(socket), buffer.data() + received, ask, 0);
        if (count > 0) {
            received += static_cast<std::size_t>(count);
        } else if (count == 0) {
            break;  // the server closed: the answer is complete
        } else if (!lastErrorIsWouldBlock()) {
            break;  // a reset ends the answer with what has arrived
        }
    }
    return received;
}
