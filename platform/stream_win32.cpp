// The network stream source on Windows: Windows Sockets with the same
// deadline, keep-alive and burst reads as on Linux. Each open stream holds a
// reference to the socket library, released when it is closed.
//
// Divisions: the last failure; addresses and connecting;
// writing; reading; the diagnostic line.
#include "platform/stream.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <mstcpip.h>

#include <algorithm>
#include <array>

#include "platform/burst.hpp"
#include "platform/diagnostics.hpp"
#include "platform/process.hpp"
#include "platform/tcp.hpp"

// ---- the last failure ------------------------------------------------

namespace {

using Clock = TcpClock;

SOCKET toSocket(StreamHandle stream) {
    return static_cast<SOCKET>(stream);
}

// The Windows Sockets error of the last failure on this thread (the
// resolver's codes are of the same kind); 0 when there was none. Kept for the
// diagnostic line only.
thread_local unsigned long lastStreamError = 0;

void recordFailure(int error) {
    lastStreamError = static_cast<unsigned long>(error);
}

}  // namespace

// ---- addresses and connecting ---------------------------------------------------

namespace {

// Keep-alive: probes after 10 s of silence, every 5 s; Windows gives up after
// 10 unanswered probes, so a vanished peer is noticed in about a minute.
constexpr ULONG keepAliveIdleMilliseconds = 10000;
constexpr ULONG keepAliveIntervalMilliseconds = 5000;

void keepAlive(SOCKET socket) {
    tcp_keepalive settings{1, keepAliveIdleMilliseconds, keepAliveIntervalMilliseconds};
    DWORD returned = 0;
    WSAIoctl(socket, SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr, 0, &returned, nullptr, nullptr);
}

// A non-blocking socket connected to address before deadline, or
// INVALID_SOCKET. The socket stays non-blocking (platform/tcp.hpp).
SOCKET connectBefore(const sockaddr* address, int length, Clock::time_point deadline) {
    const SOCKET socket =
        WSASocketW(address->sa_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        recordFailure(WSAGetLastError());
        return INVALID_SOCKET;
    }
    if (const int failure = tcpConnect(socket, address, static_cast<std::size_t>(length), deadline);
        failure != 0) {
        recordFailure(failure);
        closesocket(socket);
        return INVALID_SOCKET;
    }
    keepAlive(socket);
    return socket;
}

}  // namespace

StreamHandle openStream(const char* host, std::uint16_t port, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    WSADATA data{};
    if (const int code = WSAStartup(MAKEWORD(2, 2), &data); code != 0) {
        recordFailure(code);
        return invalidStreamHandle;
    }
    HostAddressList list{};
    SOCKET socket = INVALID_SOCKET;
    if (const int code = lookUpHostAddresses(host, port, list); code != 0) {
        recordFailure(code);
    } else {
        recordFailure(WSAETIMEDOUT);  // when the time is up before any attempt
        for (std::size_t i = 0; i < list.count && socket == INVALID_SOCKET && Clock::now() < deadline; ++i) {
            const SocketAddress address = toSocketAddress(list.addresses[i]);
            socket = connectBefore(address.get(), address.length, attemptDeadline(deadline, list.count - i));
        }
    }
    if (socket == INVALID_SOCKET) {
        WSACleanup();
        return invalidStreamHandle;
    }
    return static_cast<StreamHandle>(socket);
}

void closeStream(StreamHandle stream) {
    if (stream == invalidStreamHandle) return;
    closesocket(toSocket(stream));
    WSACleanup();  // the reference its opening took
}

// ---- writing ----------------------------------------------------------------------

bool writeStream(StreamHandle stream, std::span<const char> data, std::chrono::milliseconds timeout) {
    if (stream == invalidStreamHandle) return false;
    const int failure = tcpSendAll(stream, data, Clock::now() + timeout);
    if (failure != 0) recordFailure(failure);
    return failure == 0;
}

// ---- reading ----------------------------------------------------------------------

namespace {

std::int64_t bytesWaiting(std::intptr_t socket) {
    u_long count = 0;
    return ioctlsocket(static_cast<SOCKET>(socket), FIONREAD, &count) == 0 ? static_cast<std::int64_t>(count)
                                                                           : -1;
}

}  // namespace

PortReadResult readStream(StreamHandle stream, std::span<char> buffer, int waitMilliseconds) {
    if (stream == invalidStreamHandle) return {PortReadStatus::failed, 0};
    if (buffer.empty()) return {PortReadStatus::idle, 0};
    const SOCKET socket = toSocket(stream);
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::max(waitMilliseconds, 0));
    const TcpReadiness readiness = tcpWaitReady(stream, false, deadline);
    if (readiness == TcpReadiness::timedOut || readiness == TcpReadiness::failed) {
        return {PortReadStatus::idle, 0};
    }
    awaitEndOfBurst(bytesWaiting, static_cast<std::intptr_t>(socket), buffer.size());
    const TcpReceived got = tcpReceive(stream, buffer);
    if (got.status == TcpReceiveStatus::data) return {PortReadStatus::data, got.count};
    if (got.status == TcpReceiveStatus::none) return {PortReadStatus::idle, 0};
    return {PortReadStatus::failed, 0};  // the peer closed or reset the connection
}

// ---- the diagnostic line -----------------------------------------------------------

void reportStreamFailure(std::string_view source) {
    std::array<char, 160> reason{};
    reportFailure(
        "cannot open GPS source", source,
        lastStreamError == 0 ? std::string_view("unknown") : windowsErrorText(lastStreamError, reason));
}
