// The report's TCP connection, the same on Linux and Windows: the steps of
// platform/net.hpp made of the TCP client core (platform/tcp.hpp), each with
// its time-out from netTimeouts. The route test and the socket library are
// each system's own (net.cpp, net_win32.cpp).
#include "platform/address.hpp"
#include "platform/net.hpp"
#include "platform/tcp.hpp"

NetTimeouts netTimeouts;

namespace {

// Ready, or ended with an error or hang-up that the next call on the socket
// reports; false on time-out or failure.
bool waitForSocket(SocketHandle socket, bool forWriting, TcpClock::time_point deadline) {
    const TcpReadiness readiness = tcpWaitReady(socket, forWriting, deadline);
    return readiness == TcpReadiness::ready || readiness == TcpReadiness::ended;
}

}  // namespace

SocketHandle openTcpSocket() {
    return openTcpSocketFor(HostAddress{});
}

bool resolveHostAddress(std::string_view host, std::uint16_t port, HostAddress& address) {
    HostAddressList list{};
    if (lookUpHostAddresses(host, port, list) != 0) return false;
    address = preferredHostAddress(list);
    return true;
}

bool waitForSocketReady(SocketHandle socket, bool forWriting, TcpClock::time_point deadline) {
    return waitForSocket(socket, forWriting, deadline);
}

bool connectSocket(SocketHandle socket, const HostAddress& address) {
    if (socket == invalidSocketHandle) return false;
    const SocketAddress socketAddress = toSocketAddress(address);
    return tcpConnect(socket, socketAddress.get(), static_cast<std::size_t>(socketAddress.length),
                      TcpClock::now() + netTimeouts.connect) == 0;
}

SocketHandle connectToHost(std::string_view host, std::uint16_t port) {
    HostAddressList list{};
    if (lookUpHostAddresses(host, port, list) != 0) return invalidSocketHandle;
    const TcpClock::time_point deadline = TcpClock::now() + netTimeouts.connect;
    for (std::size_t i = 0; i < list.count && TcpClock::now() < deadline; ++i) {
        SocketHandle socket = openTcpSocketFor(list.addresses[i]);
        if (socket == invalidSocketHandle) continue;
        const SocketAddress socketAddress = toSocketAddress(list.addresses[i]);
        if (tcpConnect(socket, socketAddress.get(), static_cast<std::size_t>(socketAddress.length),
                       attemptDeadline(deadline, list.count - i)) == 0)
            return socket;
        closeSocket(socket);
    }
    return invalidSocketHandle;
}

bool sendAll(SocketHandle socket, std::span<const char> data) {
    if (data.empty()) return false;
    return tcpSendAll(socket, data, TcpClock::now() + netTimeouts.send) == 0;
}

// A reset connection ends the answer with what has arrived, as a close does.
std::size_t receiveAnswer(SocketHandle socket, std::span<char> buffer) {
    const TcpClock::time_point deadline = TcpClock::now() + netTimeouts.answer;
    std::size_t received = 0;
    while (received < buffer.size()) {
        if (!waitForSocket(socket, false, deadline)) break;
        const TcpReceived got = tcpReceive(socket, buffer.subspan(received));
        if (got.status == TcpReceiveStatus::closed || got.status == TcpReceiveStatus::failed) break;
        received += got.count;
    }
    return received;
}
