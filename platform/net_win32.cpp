// Network services on Windows: Windows Sockets 2 with the same route test as
// on Linux, and the sockets of the report's connection, whose steps are in
// net_connection.cpp.
#include "platform/net.hpp"

#include "platform/address.hpp"
#include "platform/diagnostics.hpp"
#include "platform/process.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

SOCKET toSocket(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
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
        HostAddressList list{};
        resolved = lookUpHostAddresses(host, reportPort, list) == 0;
        for (std::size_t i = 0; resolved && !routed && i < list.count; ++i)
            routed = hasRouteTo(list.addresses[i]);
        if (routed) break;
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
    closeSocket(socket);
    WSACleanup();
}

void closeSocket(SocketHandle& socket) {
    if (socket == invalidSocketHandle) return;
    closesocket(toSocket(socket));
    socket = invalidSocketHandle;
}

SocketHandle openTcpSocketFor(const HostAddress& address) {
    const SOCKET opened = WSASocketW(address.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                     WSA_FLAG_NO_HANDLE_INHERIT);
    return opened == INVALID_SOCKET ? invalidSocketHandle : static_cast<SocketHandle>(opened);
}
