// The client's address behind trusted reverse proxies.
#include "server/proxy.hpp"

#include <arpa/inet.h>

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

constexpr std::size_t addressTextMaxBytes = 64;  // longer than any IPv6 text with a zone

// An address as 16 bytes, IPv4 mapped into IPv6; false when text is neither.
// "[2001:db8::1]" and "192.0.2.7:1234" (as some proxies write) are accepted.
bool readAddress(std::string_view text, std::array<std::uint8_t, 16>& bytes) {
    if (text.size() >= 2 && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        text = text.substr(1, close - 1);
    } else if (text.find(':') == text.rfind(':') && text.find('.') != std::string_view::npos) {
        text = text.substr(0, text.find(':'));  // IPv4 with a port
    }
    if (text.empty() || text.size() >= addressTextMaxBytes) return false;
    char copy[addressTextMaxBytes] = {};
    std::memcpy(copy, text.data(), text.size());
    in_addr v4{};
    if (inet_pton(AF_INET, copy, &v4) == 1) {
        bytes = {};
        bytes[10] = 0xFF;
        bytes[11] = 0xFF;
        std::memcpy(bytes.data() + 12, &v4, 4);
        return true;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, copy, &v6) != 1) return false;
    std::memcpy(bytes.data(), &v6, 16);
    return true;
}

bool inRange(const std::array<std::uint8_t, 16>& bytes, const AddressRange& range) {
    int bits = range.prefixBits;
    for (std::size_t i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
        const auto mask = static_cast<std::uint8_t>(bits >= 8 ? 0xFF : 0xFF << (8 - bits));
        if ((bytes[i] & mask) != (range.bytes[i] & mask)) return false;
    }
    return true;
}

bool trustedBytes(const std::array<std::uint8_t, 16>& bytes, const std::vector<AddressRange>& ranges) {
    for (const AddressRange& range : ranges)
        if (inRange(bytes, range)) return true;
    return false;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The address as the log writes it: "192.0.2.7", "2001:db8::7".
std::string addressText(const std::array<std::uint8_t, 16>& bytes) {
    char text[INET6_ADDRSTRLEN] = {};
    const bool mapped =
        std::all_of(bytes.begin(), bytes.begin() + 10, [](std::uint8_t b) { return b == 0; }) &&
        bytes[10] == 0xFF && bytes[11] == 0xFF;
    if (mapped) {
        inet_ntop(AF_INET, bytes.data() + 12, text, sizeof text);
    } else {
        inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
    }
    return text;
}

}  // namespace

bool parseAddressRange(std::string_view text, AddressRange& range) {
    if (text.empty()) return false;
    const std::size_t slash = text.find('/');
    if (!readAddress(text.substr(0, slash), range.bytes) || text.front() == '[') return false;
    const bool v4 = text.substr(0, slash).find(':') == std::string_view::npos;
    range.prefixBits = 128;
    if (slash == std::string_view::npos) return true;
    const std::string_view digits = text.substr(slash + 1);
    int prefix = -1;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (result.ec != std::errc{} || result.ptr != digits.data() + digits.size() || prefix < 0 ||
        prefix > (v4 ? 32 : 128))
        return false;
    range.prefixBits = v4 ? prefix + 96 : prefix;
    return true;
}

bool addressTrusted(std::string_view address, const std::vector<AddressRange>& ranges) {
    std::array<std::uint8_t, 16> bytes{};
    return readAddress(address, bytes) && trustedBytes(bytes, ranges);
}

bool forwardedOverTls(std::string_view peer, const HttpRequest& request,
                      const std::vector<AddressRange>& trusted) {
    const std::string_view proto = trim(request.header("X-Forwarded-Proto"));
    return proto.size() == 5 && strncasecmp(proto.data(), "https", 5) == 0 && !trusted.empty() &&
           addressTrusted(peer, trusted);
}

std::string forwardedClient(std::string_view peer, const HttpRequest& request,
                            const std::vector<AddressRange>& trusted) {
    if (trusted.empty() || !addressTrusted(peer, trusted)) return std::string(peer);
    // Every X-Forwarded-For entry, left to right, across repeated headers.
    std::vector<std::string_view> hops;
    for (const HttpHeader& header : request.headers) {
        if (header.name.size() != 15 || strncasecmp(header.name.data(), "X-Forwarded-For", 15) != 0) continue;
        std::string_view list = header.value;
        while (!list.empty()) {
            const std::size_t comma = std::min(list.find(','), list.size());
            hops.push_back(trim(list.substr(0, comma)));
            list.remove_prefix(std::min(comma + 1, list.size()));
        }
    }
    std::string client(peer);
    for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
        std::array<std::uint8_t, 16> bytes{};
        // Not an address: no trusted proxy wrote it, so nothing left of it is believed.
        if (!readAddress(*hop, bytes)) return client;
        client = addressText(bytes);
        if (!trustedBytes(bytes, trusted)) return client;
    }
    return client;
}
