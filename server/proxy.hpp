// The client's address behind trusted reverse proxies: for a connection from
// a --trusted-proxy address, the address that proxy was reached from, as its
// X-Forwarded-For header says; from anyone else that header is ignored.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/http.hpp"

// An address range: "192.0.2.0/24", "2001:db8::/32", or one address
// ("192.0.2.7" is /32, "::1" /128). IPv4 is held as IPv4-mapped IPv6.
struct AddressRange {
    std::array<std::uint8_t, 16> bytes{};
    int prefixBits = 128;
};

// Reads "ADDR" or "ADDR/PREFIX"; false when it is neither.
bool parseAddressRange(std::string_view text, AddressRange& range);

// True when address (text, IPv4 or IPv6) lies within one of ranges.
bool addressTrusted(std::string_view address, const std::vector<AddressRange>& ranges);

// The client's address for the log, the limits and the stored position: peer
// itself unless peer is trusted, else the rightmost X-Forwarded-For address
// that is not itself trusted (every such header in order, as one list). When
// every forwarded address is trusted, the leftmost; when one is not an
// address, the one to its right (or peer).
std::string forwardedClient(std::string_view peer, const HttpRequest& request,
                            const std::vector<AddressRange>& trusted);

// True when peer is trusted and its X-Forwarded-Proto says "https": the
// client reached the proxy over TLS.
bool forwardedOverTls(std::string_view peer, const HttpRequest& request,
                      const std::vector<AddressRange>& trusted);
