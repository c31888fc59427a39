// Network services on Linux: the route test that stands in for a handheld's
// connection manager, and the sockets of the report's connection. The
// connection's steps are in net_connection.cpp, made of the TCP client core
// (platform/tcp.hpp), every wait with its step's deadline, so no step can
// hang however the server behaves.

#include "platform/net.hpp"

#include "platform/address.hpp"
#include "platform/diagnostics.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A datagram socket connected to the address proves a route without sending.
// error is errno of the step that failed.
bool hasRouteTo(const HostAddress& address, int& error) {
    const int probe = socket(address.ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        error = errno;
        return false;
    }
    const SocketAddress socketAddress = toSocketAddress(address);
    const bool routed = connect(probe, socketAddress.get(), socketAddress.length) == 0;
    error = errno;
    close(probe);
    return routed;
}

// The diagnostic line for a wait that found no route: the name did not
// resolve (getaddrinfo's reason), or its address has no route (errno).
void reportNoRoute(std::string_view host, int resolved, int routeError) {
    if (resolved != 0) {
        const char* reason = resolved == EAI_SYSTEM ? systemReason(errno) : gai_strerror(resolved);
        reportFailure("cannot resolve report host", host, reason);
    } else {
        reportFailure("no route to report host", host, systemReason(routeError));
    }
}

}  // namespace

// The name is resolved afresh on every look: a network that comes up during
// the wait may bring the name server with it. A resolver that does not answer
// can hold one look beyond the deadline, as getaddrinfo has no time-out.
bool waitForRoute(std::string_view host) {
    const Clock::time_point deadline = Clock::now() + netTimeouts.routeWait;
    for (;;) {
        HostAddressList list{};
        int routeError = 0;
        const int resolved = lookUpHostAddresses(host, reportPort, list);
        for (std::size_t i = 0; resolved == 0 && i < list.count; ++i) {
            if (hasRouteTo(list.addresses[i], routeError)) return true;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            reportNoRoute(host, resolved, routeError);
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(netTimeouts.routePoll, deadline - now));
    }
}

bool startSocketLibrary() {
    return true;
}

void stopSocketLibrary(SocketHandle& socket) {
    closeSocket(socket);
}

void closeSocket(SocketHandle& socket) {
    if (socket == invalidSocketHandle) return;
    close(socket);  // not retried on EINTR: Linux has released the descriptor by then
    socket = invalidSocketHandle;
}

SocketHandle openTcpSocketFor(const HostAddress& address) {
    const int opened = socket(address.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // cppcheck-suppress resourceLeak ; the descriptor is the handle returned
    return opened < 0 ? invalidSocketHandle : opened;
}
