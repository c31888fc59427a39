// The TCP client core on Linux: poll() for every wait, and the system calls
// wrapped once here with EINTR retried, so the modules above see only a
// readiness, an error code or a count.
#include "platform/tcp.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace {

// Milliseconds left before deadline, rounded up, 0 once it has passed.
int millisecondsLeft(TcpClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TcpClock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 0x7FFFFFFF));
}

}  // namespace

TcpReadiness tcpWaitReady(SocketHandle socket, bool forWriting, TcpClock::time_point deadline) {
    for (;;) {
        pollfd entry{socket, static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
        const int ready = ::poll(&entry, 1, millisecondsLeft(deadline));
        if (ready == 0) return TcpReadiness::timedOut;
        if (ready < 0) {
            if (errno == EINTR) continue;  // a signal came first: wait again for the time left
            return TcpReadiness::failed;
        }
        if ((entry.revents & POLLNVAL) != 0) return TcpReadiness::failed;
        if ((entry.revents & (POLLHUP | POLLERR)) != 0) return TcpReadiness::ended;
        return TcpReadiness::ready;
    }
}

// A non-blocking connect and a wait for its end: a host that drops the
// handshake would otherwise hold the caller for minutes.
int tcpConnect(SocketHandle socket, const sockaddr* address, std::size_t length,
               TcpClock::time_point deadline) {
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    if (::connect(socket, address, static_cast<socklen_t>(length)) == 0) return 0;
    // After EINTR the connection goes on being made, as after EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    const TcpReadiness readiness = tcpWaitReady(socket, true, deadline);
    if (readiness == TcpReadiness::timedOut || readiness == TcpReadiness::failed) return ETIMEDOUT;
    int failure = 0;
    socklen_t failureLength = sizeof failure;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &failure, &failureLength) != 0) return errno;
    return failure;
}

int tcpSendAll(SocketHandle socket, std::span<const char> data, TcpClock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t count =
            ::send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        const int error = count < 0 ? errno : EPIPE;
        if (error == EINTR) continue;
        if (error != EAGAIN && error != EWOULDBLOCK) return error;
        const TcpReadiness readiness = tcpWaitReady(socket, true, deadline);
        if (readiness == TcpReadiness::timedOut || readiness == TcpReadiness::failed) return ETIMEDOUT;
    }
    return 0;
}

TcpReceived tcpReceive(SocketHandle socket, std::span<char> buffer) {
    for (;;) {
        const ssize_t count = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (count > 0) return {TcpReceiveStatus::data, static_cast<std::size_t>(count)};
        if (count == 0) return {TcpReceiveStatus::closed, 0};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {TcpReceiveStatus::none, 0};
        return {TcpReceiveStatus::failed, 0};  // ECONNRESET, ETIMEDOUT after keep-alive gave up ...
    }
}

int tcpTimeoutError() {
    return ETIMEDOUT;
}
