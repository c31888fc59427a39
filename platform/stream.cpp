// The network stream source on Linux: addresses, a connection with a
// deadline and keep-alive, and reads that gather a burst like the serial
// port's.
//
// Divisions: the last failure; addresses and connecting;
// writing; reading; the diagnostic line.
#include "platform/stream.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/burst.hpp"
#include "platform/diagnostics.hpp"
#include "platform/tcp.hpp"

// ---- the last failure ------------------------------------------------------------

namespace {

using Clock = TcpClock;

// Whose reason the last failure has: the resolver's (an EAI_ code) or the
// system's (an errno value).
enum class StreamFailure : std::uint8_t { none, resolver, system };

// What failed last on this thread and why; kept for the diagnostic line only.
struct StreamFailureRecord {
    StreamFailure step;
    int error;
};
thread_local StreamFailureRecord lastStreamFailure{StreamFailure::none, 0};

void recordFailure(StreamFailure step, int error) {
    lastStreamFailure = {step, error};
}

}  // namespace

// ---- addresses and connecting ---------------------------------------------------

namespace {

// Keep-alive: probes after 10 s of silence, every 5 s, given up after 4
// unanswered, so a peer that vanished without a word is noticed in about 30 s.
constexpr int keepAliveIdleSeconds = 10;
constexpr int keepAliveIntervalSeconds = 5;
constexpr int keepAliveProbes = 4;

void keepAlive(int socket) {
    const int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &keepAliveIdleSeconds, sizeof keepAliveIdleSeconds);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &keepAliveIntervalSeconds,
               sizeof keepAliveIntervalSeconds);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &keepAliveProbes, sizeof keepAliveProbes);
}

// A non-blocking socket connected to address before deadline, or -1. The
// socket stays non-blocking (platform/tcp.hpp).
int connectBefore(const sockaddr* address, socklen_t length, Clock::time_point deadline) {
    const int socket = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        recordFailure(StreamFailure::system, errno);
        return -1;
    }
    if (const int failure = tcpConnect(socket, address, length, deadline); failure != 0) {
        recordFailure(StreamFailure::system, failure);
        ::close(socket);
        return -1;
    }
    keepAlive(socket);
    return socket;
}

}  // namespace

StreamHandle openStream(const char* host, std::uint16_t port, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    HostAddressList list{};
    if (const int code = lookUpHostAddresses(host, port, list); code != 0) {
        if (code == EAI_SYSTEM) {
            recordFailure(StreamFailure::system, errno);
        } else {
            recordFailure(StreamFailure::resolver, code);
        }
        return invalidStreamHandle;
    }
    int socket = invalidStreamHandle;
    recordFailure(StreamFailure::system, ETIMEDOUT);  // when the time is up before any attempt
    for (std::size_t i = 0; i < list.count && socket < 0 && Clock::now() < deadline; ++i) {
        const SocketAddress address = toSocketAddress(list.addresses[i]);
        socket = connectBefore(address.get(), address.length, attemptDeadline(deadline, list.count - i));
    }
    return socket;
}

void closeStream(StreamHandle stream) {
    if (stream == invalidStreamHandle) return;
    ::close(stream);  // not repeated on EINTR: Linux has released the descriptor either way
}

// ---- writing ----------------------------------------------------------------------

bool writeStream(StreamHandle stream, std::span<const char> data, std::chrono::milliseconds timeout) {
    if (stream == invalidStreamHandle) return false;
    const int failure = tcpSendAll(stream, data, Clock::now() + timeout);
    if (failure != 0) recordFailure(StreamFailure::system, failure);
    return failure == 0;
}

// ---- reading ----------------------------------------------------------------------

namespace {

std::int64_t bytesWaiting(std::intptr_t socket) {
    int count = 0;
    return ::ioctl(static_cast<int>(socket), FIONREAD, &count) == 0 ? count : -1;
}

}  // namespace

PortReadResult readStream(StreamHandle stream, std::span<char> buffer, int waitMilliseconds) {
    if (stream == invalidStreamHandle) return {PortReadStatus::failed, 0};
    if (buffer.empty()) return {PortReadStatus::idle, 0};
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::max(waitMilliseconds, 0));
    const TcpReadiness readiness = tcpWaitReady(stream, false, deadline);
    if (readiness == TcpReadiness::timedOut) return {PortReadStatus::idle, 0};
    if (readiness == TcpReadiness::failed) return {PortReadStatus::failed, 0};
    // Ready, closed or failed: a closed or failed connection ends the read below.
    if (readiness == TcpReadiness::ready) awaitEndOfBurst(bytesWaiting, stream, buffer.size());
    const TcpReceived got = tcpReceive(stream, buffer);
    switch (got.status) {
        case TcpReceiveStatus::data:
            return {PortReadStatus::data, got.count};
        case TcpReceiveStatus::none:
            return {PortReadStatus::idle, 0};
        case TcpReceiveStatus::closed:  // the peer closed the connection
        case TcpReceiveStatus::failed:
            return {PortReadStatus::failed, 0};
    }
    return {PortReadStatus::failed, 0};
}

// ---- the diagnostic line -----------------------------------------------------------

void reportStreamFailure(std::string_view source) {
    const StreamFailureRecord failure = lastStreamFailure;
    const char* reason = "unknown";
    if (failure.step == StreamFailure::resolver) {
        reason = gai_strerror(failure.error);
    } else if (failure.step != StreamFailure::none) {
        reason = systemReason(failure.error);
    }
    reportFailure("cannot open GPS source", source, reason);
}
