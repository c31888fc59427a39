// The command line of wayloom-server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    int webPort = -1;         // the web pages' own port; -1: the report port serves them
    std::string tiles;        // map tile URL template; "": OpenStreetMap's
    std::string tilesAttribution;
    std::string login;  // of an account command
    bool admin = false;
};

// Reads the arguments (without the program name); false with error set on a
// mistake. Each option is a row of the table optionRules in options.cpp.
bool parseServerOptions(const std::vector<std::string>& arguments, ServerOptions& options,
                        std::string& error);

extern const char* const serverHelpText;
