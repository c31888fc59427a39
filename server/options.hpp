// The command line of wayloom-server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/proxy.hpp"

#ifndef WAYLOOM_SERVER_DATABASE
#define WAYLOOM_SERVER_DATABASE "wayloom-server.db"
#endif

enum class Command {
    serve,
    help,
    version,
    accountAdd,
    accountPasswd,
    accountDisable,
    accountEnable,
    accountList
};

struct ServerOptions {
    Command command = Command::serve;
    std::string database = WAYLOOM_SERVER_DATABASE;
    std::vector<std::string> listen;  // empty: every IPv4 and IPv6 address
    std::uint16_t port = 80;
    int retainDays = 0;       // 0: keep every position
    int requestSeconds = 10;  // for a whole request to arrive
    int storageSeconds = 5;   // for a report's commit (and a new database connection), then "0"
    int webPort = -1;         // the web pages' own port; -1: the report port serves them
    int osmandPort = -1;      // every path is the OsmAnd protocol; -1: no such port
    std::string tiles;        // map tile URL template; "": OpenStreetMap's
    std::string tilesAttribution;
    std::vector<AddressRange> trustedProxies;  // whose X-Forwarded-For is believed
    std::string tlsCertificate;                // PEM chain: serve TLS on tlsPort too
    std::string tlsKey;                        // its PEM private key
    std::uint16_t tlsPort = 443;
    std::string metricsListen;  // "ADDR:PORT" of the metrics page; "": none
    std::string login;          // of an account command
    bool admin = false;
    bool key = false;  // account add or passwd: a device key instead of a password
};

// Reads the arguments (without the program name); false with error set on a
// mistake. Each option is a row of the table optionRules in options.cpp.
bool parseServerOptions(const std::vector<std::string>& arguments, ServerOptions& options,
                        std::string& error);

// "ADDR:PORT" or "[IPV6]:PORT" (":PORT" for every address); false when text
// is neither or the port is not 1 to 65535.
bool splitHostPort(std::string_view text, std::string& address, std::uint16_t& port);

extern const char* const serverHelpText;
