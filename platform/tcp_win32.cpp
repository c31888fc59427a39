// The TCP client core on Windows: Windows Sockets, select() for every wait,
// calls of at most a mebibyte since send and recv count in an int.
#include "platform/tcp.hpp"

#include <winsock2.h>

#include <algorithm>

namespace {

constexpr std::size_t largestCall = std::size_t{1} << 20;  // bytes per send or recv, well within an int

SOCKET toSocket(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

int callLength(std::size_t length) {
    return static_cast<int>(std::min(length, largestCall));
}

timeval timeLeft(TcpClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - TcpClock::now());
    const long long micros = std::max<long long>(left.count(), 0);
    return timeval{static_cast<long>(micros / 1000000), static_cast<long>(micros % 1000000)};
}

bool wouldBlock() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

bool waitedInTime(TcpReadiness readiness) {
    return readiness == TcpReadiness::ready || readiness == TcpReadiness::ended;
}

}  // namespace

// The failure set also hears of a connect that failed, which select reports
// nowhere else.
TcpReadiness tcpWaitReady(SocketHandle socket, bool forWriting, TcpClock::time_point deadline) {
    timeval timeout = timeLeft(deadline);
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(toSocket(socket), &ready);
    FD_SET(toSocket(socket), &failed);
    const int count = forWriting ? select(0, nullptr, &ready, &failed, &timeout)
                                 : select(0, &ready, nullptr, &failed, &timeout);
    if (count == 0) return TcpReadiness::timedOut;
    if (count == SOCKET_ERROR) return TcpReadiness::failed;
    return FD_ISSET(toSocket(socket), &failed) ? TcpReadiness::ended : TcpReadiness::ready;
}

int tcpConnect(SocketHandle socket, const sockaddr* address, std::size_t length,
               TcpClock::time_point deadline) {
    u_long nonBlocking = 1;
    if (ioctlsocket(toSocket(socket), FIONBIO, &nonBlocking) != 0) return WSAGetLastError();
    if (connect(toSocket(socket), address, static_cast<int>(length)) == 0) return 0;
    if (!wouldBlock()) return WSAGetLastError();
    if (!waitedInTime(tcpWaitReady(socket, true, deadline))) return WSAETIMEDOUT;
    int failure = 0;
    int failureLength = sizeof failure;
    if (getsockopt(toSocket(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure),
                   &failureLength) != 0)
        return WSAGetLastError();
    return failure;
}

int tcpSendAll(SocketHandle socket, std::span<const char> data, TcpClock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const int count = send(toSocket(socket), data.data() + sent, callLength(data.size() - sent), 0);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
        } else if (count == SOCKET_ERROR && wouldBlock()) {
            if (!waitedInTime(tcpWaitReady(socket, true, deadline))) return WSAETIMEDOUT;
        } else {
            return count == SOCKET_ERROR ? WSAGetLastError() : WSAECONNRESET;
        }
    }
    return 0;
}

TcpReceived tcpReceive(SocketHandle socket, std::span<char> buffer) {
    const int count = recv(toSocket(socket), buffer.data(), callLength(buffer.size()), 0);
    if (count > 0) return {TcpReceiveStatus::data, static_cast<std::size_t>(count)};
    if (count == 0) return {TcpReceiveStatus::closed, 0};
    if (wouldBlock()) return {TcpReceiveStatus::none, 0};
    return {TcpReceiveStatus::failed, 0};
}

int tcpTimeoutError() {
    return WSAETIMEDOUT;
}
