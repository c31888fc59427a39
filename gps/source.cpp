// Network NMEA sources: reading the source URL, and dropping gpsd's JSON
// lines from its stream. Pure text handling; the sockets are in platform/.
#include "gps/source.hpp"

#include <algorithm>

namespace {

struct Scheme {
    std::string_view prefix;  // in lower case
    SourceKind kind;
    bool portRequired;
};

constexpr Scheme schemes[] = {
    {"gpsd://", SourceKind::gpsd, false},
    {"tcp://", SourceKind::tcp, true},
};

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char p, char t) { return p == lowerAscii(t); });
}

// Decimal digits only, 1 to 65535; false otherwise.
bool readPort(std::string_view digits, std::uint16_t& port) {
    if (digits.empty() || digits.size() > 5) return false;
    std::uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// A host may hold neither the URL's own delimiters nor blanks or control
// characters; anything else is left to the resolver to refuse.
bool validHost(std::string_view host, bool bracketed) {
    if (host.empty() || host.size() >= hostNameCapacity) return false;
    for (char c : host) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '/' || c == '[' || c == ']' || c == '@' || c == '?' ||
            c == '#')
            return false;
        if (c == ':' && !bracketed) return false;
    }
    return true;
}

}  // namespace

bool parseSourceUrl(std::string_view text, NetworkSource& source) {
    const Scheme* scheme = nullptr;
    for (const Scheme& candidate : schemes) {
        if (startsWithIgnoringCase(text, candidate.prefix)) scheme = &candidate;
    }
    if (scheme == nullptr) return false;
    std::string_view rest = text.substr(scheme->prefix.size());
    std::string_view host;
    bool bracketed = !rest.empty() && rest.front() == '[';
    if (bracketed) {
        std::size_t close = rest.find(']');
        if (close == std::string_view::npos) return false;
        host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
    } else {
        std::size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon);
    }
    if (!validHost(host, bracketed)) return false;
    std::uint16_t port = gpsdDefaultPort;
    if (!rest.empty()) {
        if (rest.front() != ':' || !readPort(rest.substr(1), port)) return false;
    } else if (scheme->portRequired) {
        return false;
    }
    source.kind = scheme->kind;
    source.port = port;
    std::copy(host.begin(), host.end(), source.host.begin());
    source.host[host.size()] = '\0';
    return true;
}

void resetGpsdLineFilter(GpsdLineFilter& filter) {
    filter = {true, false};
}

std::size_t dropGpsdJsonLines(GpsdLineFilter& filter, std::span<char> chunk, std::size_t count) {
    count = std::min(count, chunk.size());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = chunk[i];
        if (filter.atLineStart && c == '{') filter.inJsonLine = true;
        filter.atLineStart = c == '\n';
        if (filter.inJsonLine) {
            if (c == '\n') filter.inJsonLine = false;
            continue;
        }
        chunk[kept++] = c;
    }
    std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(kept),
              chunk.begin() + static_cast<std::ptrdiff_t>(count), '\0');
    return kept;
}
