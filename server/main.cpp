// wayloom-server: the report server for Wayloom, and the commands that manage
// its accounts.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/accounts.hpp"
#include "server/health.hpp"
#include "server/livefeed.hpp"
#include "server/metrics.hpp"
#include "server/options.hpp"
#include "server/serve.hpp"
#include "server/storage.hpp"
#include "server/upkeep.hpp"
#include "server/web.hpp"

#ifndef WAYLOOM_VERSION
#define WAYLOOM_VERSION "0"
#endif

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "wayloom-server: %s\n", message.c_str());
    return 1;
}

// The line that tells an operator what a command did; on standard error
// when a device key is the only line of standard output.
void sayDone(const ServerOptions& options) {
    FILE* out = options.key ? stderr : stdout;
    switch (options.command) {
        case Command::accountAdd:
            std::fprintf(out, "added account %s%s%s\n", options.login.c_str(),
                         options.admin ? " (admin)" : "", options.key ? " with a device key" : "");
            break;
        case Command::accountPasswd:
            std::fprintf(out, "changed the %s of %s\n", options.key ? "device key" : "password",
                         options.login.c_str());
            break;
        case Command::accountDisable:
            std::printf("disabled account %s\n", options.login.c_str());
            break;
        case Command::accountEnable:
            std::printf("enabled account %s\n", options.login.c_str());
            break;
        default:
            break;
    }
}

int reportChange(AccountChange change, const ServerOptions& options, Storage& storage) {
    switch (change) {
        case AccountChange::done:
            sayDone(options);
            return 0;
        case AccountChange::noSuchAccount:
            return fail("no account " + options.login);
        case AccountChange::loginTaken:
            return fail("the account " + options.login + " exists already");
        case AccountChange::failed:
            break;
    }
    return fail(storage.lastError());
}

int listAccounts(Storage& storage) {
    std::vector<Account> accounts;
    if (!storage.listAccounts(accounts)) return fail(storage.lastError());
    for (const Account& account : accounts) {
        std::printf("%s%s%s%s\n", account.login.c_str(), account.admin ? " admin" : "",
                    account.enabled ? "" : " disabled", account.keyDigest.empty() ? "" : " key");
    }
    return 0;
}

int runAccountCommand(const ServerOptions& options) {
    std::string error;
    const std::unique_ptr<Storage> storage = openStorage(options.database, error);
    if (storage == nullptr) return fail(error);
    std::string password;
    std::string hash;
    std::string key;
    const bool credential =
        options.command == Command::accountAdd || options.command == Command::accountPasswd;
    if (credential && options.key) {
        key = makeDeviceKey();
        if (key.empty()) return fail("libsodium cannot start");
    } else if (credential) {
        if (!readNewPassword(password, error)) return fail(error);
        hash = hashPassword(password);
        if (hash.empty()) return fail("cannot hash the password (out of memory?)");
    }
    int status = 0;
    switch (options.command) {
        case Command::accountAdd: {
            Account account;
            account.login = options.login;
            account.passwordHash = hash;
            account.keyDigest = key.empty() ? "" : keyDigestOf(key);
            account.admin = options.admin;
            status = reportChange(storage->addAccount(account), options, *storage);
            break;
        }
        case Command::accountPasswd:
            status = reportChange(key.empty() ? storage->setPassword(options.login, hash)
                                              : storage->setKey(options.login, keyDigestOf(key)),
                                  options, *storage);
            break;
        case Command::accountDisable:
            return reportChange(storage->setEnabled(options.login, false), options, *storage);
        case Command::accountEnable:
            return reportChange(storage->setEnabled(options.login, true), options, *storage);
        default:
            return listAccounts(*storage);
    }
    // Shown once, only when it is stored; never again.
    if (status == 0 && !key.empty()) std::printf("%s\n", key.c_str());
    return status;
}

int runServer(const ServerOptions& options) {
    blockStopSignals();
    // A PostgreSQL server that does not answer (frozen, or its host gone)
    // holds a new connection no longer than a report may wait; a connection
    // string's own connect_timeout, or PGCONNECT_TIMEOUT, takes precedence.
    setenv("PGCONNECT_TIMEOUT", std::to_string(options.storageSeconds).c_str(), 0);
    std::string error;
    const std::unique_ptr<Accounts> accounts = openAccounts(options.database, error);
    if (accounts == nullptr) return fail(error);
    std::atomic<bool> stopping{false};
    PositionFeed feed;
    ServerContext context{options.database, accounts.get(), &feed,
                          &stopping,        options.tiles,  options.tilesAttribution};
    Routes routes;
    addWebRoutes(routes, context);
    addHealthRoute(routes, options.database);
    Routes healthOnly;  // a report port without the web pages still answers /healthz
    addHealthRoute(healthOnly, options.database);

    ServeSettings settings;
    settings.database = options.database;
    settings.accounts = accounts.get();
    settings.feed = &feed;
    settings.stopping = &stopping;
    settings.requestTimeout = std::chrono::seconds(options.requestSeconds);
    settings.storageTimeout = std::chrono::seconds(options.storageSeconds);
    settings.trustedProxies = options.trustedProxies;
    TlsServer tls{options.tlsCertificate, options.tlsKey};
    if (!options.tlsCertificate.empty()) {
        if (!loadTls(tls, error)) return fail(error);
        settings.onHangUp = [&tls] { reloadTls(tls); };
    } else {
        settings.onHangUp = [] {
            std::fputs("wayloom-server: SIGHUP: no --tls-cert to load again\n", stderr);
        };
    }
    const std::vector<std::string> addresses =
        options.listen.empty() ? std::vector<std::string>{""} : options.listen;
    // The web pages share the report port unless --web-port gives them their own.
    const bool ownWebPort = options.webPort >= 0 && options.webPort != options.port;
    if (ownWebPort) {
        context.reportPort = options.port;
        context.reportTlsPort = tls.context != nullptr ? options.tlsPort : -1;
    }
    enum class Kind { plain, secure, web };
    for (const std::string& address : addresses) {
        for (const Kind kind : {Kind::plain, Kind::secure, Kind::web}) {
            if ((kind == Kind::plain && options.port == 0) ||
                (kind == Kind::secure && tls.context == nullptr) || (kind == Kind::web && !ownWebPort))
                continue;
            const auto port = kind == Kind::web      ? static_cast<std::uint16_t>(options.webPort)
                              : kind == Kind::secure ? options.tlsPort
                                                     : options.port;
            const int socket = openListener(address, port, error);
            if (socket < 0) return fail(error);
            settings.listeners.push_back({socket, kind != Kind::web,
                                          kind == Kind::web || !ownWebPort ? &routes : &healthOnly,
                                          kind == Kind::secure ? &tls : nullptr});
            std::fprintf(stderr, "wayloom-server: listening on %s port %u%s\n",
                         address.empty() ? "*" : address.c_str(), static_cast<unsigned>(listenerPort(socket)),
                         kind == Kind::web      ? " (web pages)"
                         : kind == Kind::secure ? " (TLS)"
                                                : "");
        }
    }
    for (const std::string& address : options.osmandPort >= 0 ? addresses : std::vector<std::string>{}) {
        const int socket = openListener(address, static_cast<std::uint16_t>(options.osmandPort), error);
        if (socket < 0) return fail(error);
        settings.listeners.push_back({socket, false, nullptr, nullptr, true});
        std::fprintf(stderr, "wayloom-server: listening on %s port %u (OsmAnd protocol)\n",
                     address.empty() ? "*" : address.c_str(), static_cast<unsigned>(listenerPort(socket)));
    }
    settings.storedAnswer = &context.ownTracksAnswer;
    Routes metricsRoutes;
    if (!options.metricsListen.empty()) {
        addMetricsRoute(metricsRoutes);
        addHealthRoute(metricsRoutes, options.database);
        std::string address;
        std::uint16_t port = 0;
        splitHostPort(options.metricsListen, address, port);
        const int socket = openListener(address, port, error);
        if (socket < 0) return fail(error);
        settings.listeners.push_back({socket, false, &metricsRoutes, nullptr});
        std::fprintf(stderr, "wayloom-server: listening on %s port %u (metrics)\n",
                     address.empty() ? "*" : address.c_str(), static_cast<unsigned>(port));
    }
    Upkeep upkeep;
    upkeep.database = options.database;
    upkeep.accounts = accounts.get();
    upkeep.retainDays = options.retainDays;
    startUpkeep(upkeep);
    PositionListener listener;  // the reports that other servers of the database store
    listener.database = options.database;
    listener.feed = &feed;
    startPositionListener(listener);
    const int status = serve(settings);
    stopPositionListener(listener);
    stopUpkeep(upkeep);
    freeTls(tls);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    ServerOptions options;
    std::string error;
    if (!parseServerOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "wayloom-server: %s\nTry 'wayloom-server --help'.\n", error.c_str());
        return 2;
    }
    switch (options.command) {
        case Command::help:
            std::fputs(serverHelpText, stdout);
            return 0;
        case Command::version:
            std::printf("wayloom-server %s\n", WAYLOOM_VERSION);
            return 0;
        case Command::serve:
            return runServer(options);
        default:
            return runAccountCommand(options);
    }
}
