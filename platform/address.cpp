// Host names and socket addresses for both systems' network modules.
#include "platform/address.hpp"

#ifndef _WIN32
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cstring>
#include <iterator>

bool copyHostName(std::string_view host, HostName& name) {
    if (host.empty() || host.size() >= name.size()) return false;
    std::copy(host.begin(), host.end(), name.begin());
    name[host.size()] = '\0';
    return true;
}

SocketAddress toSocketAddress(const HostAddress& address) {
    SocketAddress socketAddress{};
    if (address.ipv6) {
        sockaddr_in6 six{};
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(address.port);
        std::copy(address.ipv6Address.begin(), address.ipv6Address.end(), six.sin6_addr.s6_addr);
        std::memcpy(&socketAddress.storage, &six, sizeof six);
        socketAddress.length = sizeof six;
        return socketAddress;
    }
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_port = htons(address.port);
    four.sin_addr.s_addr = htonl(address.ipv4);
    std::memcpy(&socketAddress.storage, &four, sizeof four);
    socketAddress.length = sizeof four;
    return socketAddress;
}

namespace {

// The entry's address, when it is of a family we speak.
bool toHostAddress(const addrinfo& entry, std::uint16_t port, HostAddress& address) {
    address = HostAddress{};
    address.port = port;
    if (entry.ai_family == AF_INET && entry.ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in four{};
        std::memcpy(&four, entry.ai_addr, sizeof four);
        address.ipv4 = ntohl(four.sin_addr.s_addr);
        return true;
    }
    if (entry.ai_family == AF_INET6 && entry.ai_addrlen >= sizeof(sockaddr_in6)) {
        sockaddr_in6 six{};
        std::memcpy(&six, entry.ai_addr, sizeof six);
        address.ipv6 = true;
        std::copy(std::begin(six.sin6_addr.s6_addr), std::end(six.sin6_addr.s6_addr),
                  address.ipv6Address.begin());
        return true;
    }
    return false;
}

// An address written as digits, of either family; false for a name.
bool literalHostAddress(const HostName& name, std::uint16_t port, HostAddress& address) {
    address = HostAddress{};
    address.port = port;
    in_addr four{};
    if (inet_pton(AF_INET, name.data(), &four) == 1) {
        address.ipv4 = ntohl(four.s_addr);
        return true;
    }
    address.ipv6 = true;
    return inet_pton(AF_INET6, name.data(), address.ipv6Address.data()) == 1;
}

}  // namespace

int lookUpHostAddresses(std::string_view host, std::uint16_t port, HostAddressList& list) {
    list.count = 0;
    HostName name{};
    if (!copyHostName(host, name)) return EAI_NONAME;
    if (literalHostAddress(name, port, list.addresses[0])) {
        list.count = 1;
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int failure = getaddrinfo(name.data(), nullptr, &hints, &found);
    if (failure != 0 || found == nullptr) return failure != 0 ? failure : EAI_NONAME;
    for (const addrinfo* entry = found; entry != nullptr && list.count < list.addresses.size();
         entry = entry->ai_next) {
        if (toHostAddress(*entry, port, list.addresses[list.count])) ++list.count;
    }
    freeaddrinfo(found);
    return list.count > 0 ? 0 : EAI_NONAME;
}

const HostAddress& preferredHostAddress(const HostAddressList& list) {
    for (std::size_t i = 0; i < list.count; ++i) {
        if (!list.addresses[i].ipv6) return list.addresses[i];
    }
    return list.addresses[0];
}

std::chrono::steady_clock::time_point attemptDeadline(std::chrono::steady_clock::time_point deadline,
                                                      std::size_t left) {
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (left <= 1 || deadline <= now) return deadline;
    return now + (deadline - now) / static_cast<std::chrono::steady_clock::rep>(left);
}
