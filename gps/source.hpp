// Network NMEA sources: the "source" setting read as a URL, and the gpsd
// stream made fit for the sentence framing.
//
// "gpsd://HOST[:PORT]" reads the receiver's sentences through a running gpsd,
// which passes them through once asked with gpsdWatchCommand; besides them
// gpsd sends its own JSON objects, one per line, which are dropped before
// framing. "tcp://HOST:PORT" reads a plain NMEA stream. HOST is a name, an
// IPv4 address or an IPv6 address in brackets ("[::1]").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/net.hpp"

enum class SourceKind : std::uint8_t {
    gpsd,  // a gpsd, asked to pass the NMEA sentences through
    tcp,   // a plain NMEA stream
};

constexpr std::uint16_t gpsdDefaultPort = 2947;

// gpsd's command that turns on the pass-through of the receiver's sentences
// and nothing else (no JSON reports).
constexpr std::string_view gpsdWatchCommand = "?WATCH={\"enable\":true,\"nmea\":true};\n";

struct NetworkSource {
    SourceKind kind;
    std::array<char, hostNameCapacity> host;  // zero-terminated, without brackets
    std::uint16_t port;
};

// Reads a source URL. The scheme is taken in any letter case; the port is
// 1 to 65535 in decimal digits. False for anything else: another scheme, an
// empty or over-long host, a path, a missing tcp:// port, spaces.
bool parseSourceUrl(std::string_view text, NetworkSource& source);

// Where the gpsd stream stands between two chunks.
struct GpsdLineFilter {
    bool atLineStart;  // the next byte begins a line
    bool inJsonLine;   // a line that began with "{" has not ended yet
};

// At the start of a connection.
void resetGpsdLineFilter(GpsdLineFilter& filter);

// Removes from the first count bytes of chunk every line that begins with
// "{", through its LF, moving the other bytes up and filling the freed end
// with zeros; returns the bytes left. A JSON line cut by the end of a chunk is
// dropped on into the next.
std::size_t dropGpsdJsonLines(GpsdLineFilter& filter, std::span<char> chunk, std::size_t count);
