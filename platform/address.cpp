// Host names and socket addresses for both systems' network modules.
#include "platform/address.hpp"

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

// The first IPv4 entry of found, else its first IPv6 entry, else nullptr.
const addrinfo* chooseEntry(const addrinfo* found) {
    const addrinfo* chosen = nullptr;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) return entry;
        if (chosen == nullptr && entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(sockaddr_in6))
            chosen = entry;
    }
    return chosen;
}

HostAddress toHostAddress(const addrinfo& entry, std::uint16_t port) {
    HostAddress address{};
    address.port = port;
    if (entry.ai_family == AF_INET) {
        sockaddr_in four{};
        std::memcpy(&four, entry.ai_addr, sizeof four);
        address.ipv4 = ntohl(four.sin_addr.s_addr);
    } else {
        sockaddr_in6 six{};
        std::memcpy(&six, entry.ai_addr, sizeof six);
        address.ipv6 = true;
        std::copy(std::begin(six.sin6_addr.s6_addr), std::end(six.sin6_addr.s6_addr),
                  address.ipv6Address.begin());
    }
    return address;
}

}  // namespace

int lookUpHostAddress(std::string_view host, std::uint16_t port, HostAddress& address) {
    HostName name{};
    if (!copyHostName(host, name)) return EAI_NONAME;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int failure = getaddrinfo(name.data(), nullptr, &hints, &found);
    if (failure != 0 || found == nullptr) return failure != 0 ? failure : EAI_NONAME;
    const addrinfo* chosen = chooseEntry(found);
    if (chosen != nullptr) address = toHostAddress(*chosen, port);
    freeaddrinfo(found);
    return chosen != nullptr ? 0 : EAI_NONAME;
}
