// Host names and socket addresses, the same on Linux and Windows: the
// zero-terminated copy of a host name that the resolver takes, the socket
// address of a HostAddress, and the one lookup that gives every address of a
// host, for the report and the network source alike. Included only by the
// network modules in platform/; nothing here allocates apart from the
// resolver's own list for a name, which is released before it returns.
#pragma once

#include "platform/net.hpp"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

using HostName = std::array<char, hostNameCapacity>;

// host as a zero-terminated name; false when it is empty or too long.
bool copyHostName(std::string_view host, HostName& name);

// Either family's socket address, with its length.
struct SocketAddress {
    sockaddr_storage storage;
#ifdef _WIN32
    int length;
#else
    socklen_t length;
#endif
    const sockaddr* get() const {
        return reinterpret_cast<const sockaddr*>(&storage);
    }
};

SocketAddress toSocketAddress(const HostAddress& address);

// The addresses of a host, each with the port, in the order they are tried.
constexpr std::size_t hostAddressCapacity = 16;  // more than a dual-stack name's usual four or so
struct HostAddressList {
    std::array<HostAddress, hostAddressCapacity> addresses;
    std::size_t count;
};

// One lookup for both families: every address of host, IPv4 and IPv6, in the
// resolver's order (its first hostAddressCapacity), with port; an address
// given as digits is taken without the resolver. 0, or getaddrinfo's error
// (EAI_NONAME also for a name that does not fit and for a host with neither
// family).
int lookUpHostAddresses(std::string_view host, std::uint16_t port, HostAddressList& list);

// The deadline of one connection attempt with left addresses still to try
// (this one included) before deadline: an equal share of the time left, so
// an address that drops the handshake leaves time for the ones after it.
std::chrono::steady_clock::time_point attemptDeadline(std::chrono::steady_clock::time_point deadline,
                                                      std::size_t left);

// The first IPv4 address of the list, else its first IPv6 one; the list is
// not empty.
const HostAddress& preferredHostAddress(const HostAddressList& list);
