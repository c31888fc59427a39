// Host names and socket addresses, the same on Linux and Windows: the
// zero-terminated copy of a host name that the resolver takes, the socket
// address of a HostAddress, and the lookup that picks one address of a host.
// Included only by the network modules in platform/; nothing here allocates
// apart from the resolver's own list, which is released before it returns.
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

// One lookup for both families: the first IPv4 address of host wins, else
// its first IPv6 address, with port. 0, or getaddrinfo's error (EAI_NONAME
// also for a name that does not fit and for a host with neither family).
int lookUpHostAddress(std::string_view host, std::uint16_t port, HostAddress& address);
