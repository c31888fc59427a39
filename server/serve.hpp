// The serving loop of wayloom-server: listening sockets, one event loop that
// reads every request and writes the report answers, the threads of route
// handlers, and the drain on SIGTERM.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "server/accounts.hpp"
#include "server/http.hpp"
#include "server/proxy.hpp"
#include "server/reports.hpp"
#include "server/tls.hpp"

constexpr int listenBacklog = 4096;
constexpr std::size_t routeThreadsMax = 64;  // route handlers answering at once; more get 503
constexpr std::size_t probeThreadsMax = 8;   // /healthz and /metrics answering at once, apart from those

// What route handlers (the web pages) get to work with.
struct ServerContext {
    std::string database;          // as given to --database: open a Storage per handler thread
    Accounts* accounts = nullptr;  // checkAccount for sign-in
    PositionFeed* feed = nullptr;  // wakes live updates after each commit
    const std::atomic<bool>* stopping = nullptr;
    std::string tilesUrl;  // the map's tiles; "": OpenStreetMap's
    std::string tilesAttribution;
    Route ownTracksAnswer{};  // set by addWebRoutes: answers a stored OwnTracks location
    // Where phones report when the pages have a port of their own
    // (--web-port): the plain and the TLS report ports; -1 on the pages' port.
    int reportPort = -1;
    int reportTlsPort = -1;
};

struct Listener {
    int socket = -1;
    bool reports = true;             // serves the protocols of the ingest table at their paths
    const Routes* routes = nullptr;  // other pages; may be nullptr
    TlsServer* tls = nullptr;        // speaks TLS with this context; nullptr: plain HTTP
    bool osmandOnly = false;         // every path is the OsmAnd protocol (--osmand-port)
};

// A listening TCP socket on address ("" for every IPv4 and IPv6 address) and
// port (0: any free port); -1 with error set when it cannot be opened.
int openListener(std::string_view address, std::uint16_t port, std::string& error);
// The port a listening socket is bound to (the one chosen for port 0).
std::uint16_t listenerPort(int socket);

struct ServeSettings {
    std::vector<Listener> listeners;
    std::string database;
    Accounts* accounts = nullptr;
    PositionFeed* feed = nullptr;
    std::atomic<bool>* stopping = nullptr;  // set when SIGTERM or SIGINT arrives
    std::chrono::seconds requestTimeout = requestReadTimeout;
    // A report not committed within this is answered "0" (it may still be
    // stored once the database answers again).
    std::chrono::seconds storageTimeout{5};
    std::vector<AddressRange> trustedProxies;  // see forwardedClient
    std::function<void()> onHangUp;            // called on the loop's thread for each SIGHUP
    // Answers a stored message of a protocol whose answer reads the storage
    // (OwnTracks), on a route thread; nullptr: the protocol's plain answer.
    const Route* storedAnswer = nullptr;
};

// Blocks SIGTERM, SIGINT and SIGHUP in this thread and every thread started after;
// call before any thread starts. serve() then takes them through a signalfd.
void blockStopSignals();

// Serves until SIGTERM or SIGINT (SIGHUP calls settings.onHangUp), then stops accepting, answers the requests
// in flight, commits what is queued and returns 0; 1 when it cannot start.
int serve(ServeSettings& settings);
