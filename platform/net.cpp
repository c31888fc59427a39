// Network services on Linux: the route test that stands in for a handheld's
// connection manager, name resolution, and one TCP connection with a deadline
// on every wait.
//
// Sockets stay non-blocking once connected: every send and receive first
// waits with poll() for the time left before its step's deadline, measured on
// the monotonic clock, so no step can hang however the server behaves.

#include "platform/net.hpp"

#include "platform/address.hpp"
#include "platform/diagnostics.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <thread>

NetTimeouts netTimeouts;

namespace {

using Clock = std::chrono::steady_clock;
// Milliseconds left before deadline, rounded up, 0 once it has passed.
int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 0x7FFFFFFF));
}

// Waits until socket has one of events (or an error or hang-up, which the
// next call on it reports) before deadline; false on time-out or failure.
bool waitForSocket(SocketHandle socket, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{socket, events, 0};
        const int ready = poll(&entry, 1, millisecondsLeft(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

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
        HostAddress address{};
        int routeError = 0;
        const int resolved = lookUpHostAddress(host, reportPort, address);
        if (resolved == 0 && hasRouteTo(address, routeError)) return true;
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
    if (socket == invalidSocketHandle) return;
    close(socket);  // not retried on EINTR: Linux has released the descriptor by then
    socket = invalidSocketHandle;
}

SocketHandle openTcpSocket() {
    return openTcpSocketFor(HostAddress{});
}

SocketHandle openTcpSocketFor(const HostAddress& address) {
    const int opened = socket(address.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return opened < 0 ? invalidSocketHandle : opened;
}

bool resolveHostAddress(std::string_view host, std::uint16_t port, HostAddress& address) {
    return lookUpHostAddress(host, port, address) == 0;
}

bool waitForSocketReady(SocketHandle socket, bool forWriting, Clock::time_point deadline) {
    return waitForSocket(socket, forWriting ? POLLOUT : POLLIN, deadline);
}

// A non-blocking connect and a poll for its end: a host that drops the
// handshake would otherwise hold the report cycle for minutes.
bool connectSocket(SocketHandle socket, const HostAddress& address) {
    if (socket == invalidSocketHandle) return false;
    const int flags = fcntl(socket, F_GETFL);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    const Clock::time_point deadline = Clock::now() + netTimeouts.connect;
    const SocketAddress socketAddress = toSocketAddress(address);
    if (connect(socket, socketAddress.get(), socketAddress.length) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return false;
    if (!waitForSocket(socket, POLLOUT, deadline)) return false;
    int failure = 0;
    socklen_t failureLength = sizeof failure;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &failure, &failureLength) != 0) return false;
    return failure == 0;
}

bool sendAll(SocketHandle socket, std::span<const char> data) {
    if (data.empty()) return false;
    const Clock::time_point deadline = Clock::now() + netTimeouts.send;
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t count =
            send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitForSocket(socket, POLLOUT, deadline)) return false;
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
        if (!waitForSocket(socket, POLLIN, deadline)) break;
        const ssize_t count = recv(socket, buffer.data() + received, buffer.size() - received, MSG_DONTWAIT);
        if (count > 0) {
            received += static_cast<std::size_t>(count);
        } else if (count == 0) {
            break;  // the server closed: the answer is complete
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            break;  // a reset ends the answer with what has arrived
        }
    }
    return received;
}
