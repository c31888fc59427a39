// The serving loop: one thread with an epoll set reads every request and
// writes every report answer without blocking, so a client that sends one
// byte a second holds up nobody; it is dropped when its request has not
// arrived within requestReadTimeout.
//
// A request of a protocol of the ingest table (Wayloom's report, the phone
// apps') goes from the loop to the account check (at once when the password
// is cached or a device key is sent, else on a checker thread that may verify
// the slow hash), then to the committer; the answer comes back to the loop
// through an eventfd. A route request leaves the loop for a thread of its own.
//
// Divisions: listening sockets; the log line; connections and their answers;
// reports; routes; the loop and the drain.
#include "server/serve.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <unordered_map>

#include "server/health.hpp"
#include "server/ingest.hpp"
#include "server/metrics.hpp"
#include "server/phones.hpp"
#include "server/shares.hpp"
#include "server/syscall.hpp"

// ---- Listening sockets ------------------------------------------------------------

int openListener(std::string_view address, std::uint16_t port, std::string& error) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const std::string text(address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    if (text.empty() || inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
        if (text.empty()) v6->sin6_addr = in6addr_any;
    } else if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof(sockaddr_in);
    } else {
        error = "not an IPv4 or IPv6 address: " + text;
        return -1;
    }
    int listener = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0 && text.empty()) {
        // No IPv6 on this machine: every IPv4 address instead.
        storage = {};
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof(sockaddr_in);
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    if (listener < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    const int zero = 0;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // "" listens on both families through one socket.
    if (storage.ss_family == AF_INET6) setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
        listen(listener, listenBacklog) != 0) {
        error = "cannot listen on " + (text.empty() ? std::string("*") : text) + " port " +
                std::to_string(port) + ": " + std::strerror(errno);
        close(listener);
        return -1;
    }
    return listener;
}

std::uint16_t listenerPort(int socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

void blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

namespace {

using Clock = std::chrono::steady_clock;

// "192.0.2.7" for IPv4 and IPv4-mapped IPv6 peers, "2001:db8::7" otherwise.
std::string addressText(const sockaddr_storage& peer) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (peer.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, text.data(), text.size());
    } else {
        const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&address)) {
            inet_ntop(AF_INET, &address.s6_addr[12], text.data(), text.size());
        } else {
            inet_ntop(AF_INET6, &address, text.data(), text.size());
        }
    }
    return text.data();
}

// ---- The log line ----------------------------------------------------------------

constexpr std::size_t logWordMaxBytes = 64;   // of a login in the log: more than loginMaxBytes (35)
constexpr std::size_t logStampCapacity = 48;  // "2026-12-07T09:30:01.123456Z" is 27, a year past 9999 more

// A login as it may appear in the log: bytes outside printable ASCII, spaces
// and "%" as %XX, so a line is always one line of words; at most
// logWordMaxBytes of it, so a flood of bytes sent as a login stays short.
void appendLogWord(std::string& line, std::string_view word) {
    constexpr std::string_view hex = "0123456789ABCDEF";
    if (word.empty()) {
        line += '-';
        return;
    }
    for (const char c : word.substr(0, logWordMaxBytes)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte >= 0x7F || c == '%') {
            line += '%';
            line += hex[byte >> 4];
            line += hex[byte & 0x0F];
        } else {
            line += c;
        }
    }
}

// Appends "2026-12-07T09:30:01.123456Z 192.0.2.7 LOGIN ANSWER 532us" and a
// line end to line; never the password. A report whose t lay ahead of the
// server's clock adds how far: "... 532us ahead=600s".
void appendLogLine(std::string& line, std::string_view client, std::string_view login,
                   std::string_view outcome, Clock::time_point started, std::int64_t aheadUs = 0) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    std::array<char, logStampCapacity> stamp{};
    const std::size_t stampLength = std::strftime(stamp.data(), stamp.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(stamp.data() + stampLength, stamp.size() - stampLength, ".%06ldZ", now.tv_nsec / 1000);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count();
    line += stamp.data();
    line += ' ';
    line += client;
    line += ' ';
    appendLogWord(line, login);
    line += ' ';
    line += outcome;
    line += ' ';
    line += std::to_string(micros);
    line += "us";
    if (aheadUs >= reportTimeAheadNoticeUs) line += " ahead=" + std::to_string(aheadUs / 1000000) + "s";
    line += '\n';
}

// Writes the log lines to standard error; what it does not take is dropped.
void writeLog(std::string_view lines) {
    while (!lines.empty()) {
        const ssize_t count = retryOnSignal([&] { return write(STDERR_FILENO, lines.data(), lines.size()); });
        if (count <= 0) return;
        lines.remove_prefix(static_cast<std::size_t>(count));
    }
}

// ---- Connections -----------------------------------------------------------------

enum class Phase {
    reading,   // the request is arriving
    checking,  // a report waits for its account check or its commit
    writing,   // the answer is being sent
    draining   // answered before the whole request was read: reading until the client closes
};

struct Connection {
    int socket = -1;
    ssl_st* tls = nullptr;       // on a TLS listener
    bool tlsWantsWrite = false;  // the handshake waits for the socket to take bytes
    bool secure = false;         // over TLS here or at a trusted proxy
    const Listener* listener = nullptr;
    std::string client;
    Clock::time_point started;
    Phase phase = Phase::reading;
    std::string bytes;  // of the request so far
    bool headRead = false;
    std::size_t requestLength = 0;             // head and body, once the head is read
    const IngestProtocol* protocol = nullptr;  // the row of a request that carries positions
    std::string problem;                       // what its reader found wrong, for the answer
    std::string login;                         // of a report, for the log (never a key)
    std::int64_t aheadUs = 0;                  // how far its newest time lay ahead of the server's clock
    std::string outcome;                       // for the log: the report answer or the HTTP status
    std::string answer;
    std::size_t answerSent = 0;
};

constexpr std::uint64_t wakeTag = 1;
constexpr std::uint64_t signalTag = 2;
constexpr std::uint64_t listenerTagBase = 16;  // listener i is 16 + i
constexpr std::uint64_t firstConnectionId = 1024;
constexpr std::size_t slowChecksMax = 256;       // reports waiting for a slow verification
constexpr int checkerThreads = verifierThreads;  // more would only wait for a verifier's place
constexpr auto drainLimit = std::chrono::seconds(20);
// After running out of descriptors, accepting pauses this long rather than
// spin on a listener that stays ready.
constexpr std::chrono::milliseconds acceptPause{100};
// The loop wakes at least this often to expire deadlines, which are whole
// seconds (requestTimeout), so none is late by more than a second.
constexpr std::chrono::milliseconds loopWakeInterval{1000};
constexpr auto lingerTime = std::chrono::seconds(2);

struct SlowCheck {
    std::uint64_t ticket;
    IngestMessage message;
    std::string client;
};

// A route handler's thread; done is set as its last act.
struct RouteThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
    bool probe = false;  // /healthz or /metrics, counted apart
};

struct Loop {
    ServeSettings& settings;
    int epoll = -1;
    int wake = -1;     // eventfd: answers are waiting
    int signals = -1;  // signalfd of SIGTERM and SIGINT
    std::unordered_map<std::uint64_t, Connection> connections;
    // In order, as each holds one length of time for all: requests to arrive, answered clients to close.
    std::deque<std::pair<Clock::time_point, std::uint64_t>> deadlines;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> lingers;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> storageDeadlines;  // of reports being checked
    std::uint64_t nextId = firstConnectionId;
    bool listening = true;
    Clock::time_point acceptResumes{};  // after running out of descriptors

    std::mutex answersMutex;
    std::vector<std::pair<std::uint64_t, char>> answers;  // from the checkers and the committer

    std::mutex checksMutex;
    std::condition_variable checksArrived;
    std::deque<SlowCheck> slowChecks;
    bool checkersStop = false;
    std::vector<std::thread> checkers;

    std::string log;  // lines of the requests answered in this round, written at its end

    Committer committer;
    std::list<RouteThread> routeThreads;

    explicit Loop(ServeSettings& s) : settings(s) {}
};

void logRequest(Loop& loop, const Connection& connection, std::string_view outcome) {
    appendLogLine(loop.log, connection.client, connection.login, outcome, connection.started,
                  connection.aheadUs);
}

void postAnswers(Loop& loop, std::span<const std::pair<std::uint64_t, char>> answers) {
    {
        const std::lock_guard lock(loop.answersMutex);
        loop.answers.insert(loop.answers.end(), answers.begin(), answers.end());
    }
    const std::uint64_t one = 1;
    (void)!write(loop.wake, &one, sizeof one);
}

void postAnswer(Loop& loop, std::uint64_t ticket, char answerChar) {
    const std::pair<std::uint64_t, char> answer{ticket, answerChar};
    postAnswers(loop, {&answer, 1});
}

// Sets the events a connection waits for; it may have left the set when its
// client shut down its side early.
void watch(Loop& loop, std::uint64_t id, int socket, std::uint32_t events) {
    epoll_event event{events, {.u64 = id}};
    if (epoll_ctl(loop.epoll, EPOLL_CTL_MOD, socket, &event) != 0 && errno == ENOENT)
        epoll_ctl(loop.epoll, EPOLL_CTL_ADD, socket, &event);
}

void closeConnection(Loop& loop, std::uint64_t id) {
    const auto found = loop.connections.find(id);
    if (found == loop.connections.end()) return;
    tlsEnd(found->second.tls);
    close(found->second.socket);  // also leaves the epoll set
    countConnection(-1);
    loop.connections.erase(found);
}

// Writes what the socket takes of the answer; once all of it is sent, the
// connection closes, or lingers when the client may still be sending (a
// close with unread bytes would reset the connection and lose the answer).
void sendPending(Loop& loop, std::uint64_t id, Connection& connection) {
    while (connection.answerSent < connection.answer.size()) {
        const char* rest = connection.answer.data() + connection.answerSent;
        const std::size_t restSize = connection.answer.size() - connection.answerSent;
        const ssize_t count = retryOnSignal([&] {
            return connection.tls != nullptr ? tlsSend(connection.tls, rest, restSize)
                                             : send(connection.socket, rest, restSize, MSG_NOSIGNAL);
        });
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            watch(loop, id, connection.socket, EPOLLOUT);
            return;
        }
        if (count <= 0) {
            closeConnection(loop, id);
            return;
        }
        connection.answerSent += static_cast<std::size_t>(count);
    }
    logRequest(loop, connection, connection.outcome);
    const bool wholeRequestRead = connection.headRead && connection.bytes.size() >= connection.requestLength;
    if (wholeRequestRead) {
        closeConnection(loop, id);
        return;
    }
    if (connection.tls != nullptr) tlsFinishWriting(connection.tls);
    shutdown(connection.socket, SHUT_WR);
    connection.phase = Phase::draining;
    connection.bytes.clear();
    watch(loop, id, connection.socket, EPOLLIN | EPOLLRDHUP);
    loop.lingers.emplace_back(Clock::now() + lingerTime, id);
}

void startAnswer(Loop& loop, std::uint64_t id, Connection& connection, std::string answer,
                 std::string outcome) {
    connection.phase = Phase::writing;
    connection.answer = std::move(answer);
    connection.outcome = std::move(outcome);
    sendPending(loop, id, connection);
}

std::string_view versionOf(const Connection& connection) {
    return connection.bytes.find("HTTP/1.1") < connection.bytes.find('\n') ? "HTTP/1.1" : "HTTP/1.0";
}

void startRoute(Loop& loop, std::uint64_t id, Connection& connection, const Route* route, bool probe);

// The answer of the connection's protocol to an outcome (an answer::
// character); in the log, Wayloom's character, or a phone's protocol and status.
void answerIngest(Loop& loop, std::uint64_t id, Connection& connection, char outcome) {
    const IngestProtocol& protocol = *connection.protocol;
    countReportAnswer(outcome, Clock::now() - connection.started);
    if (outcome == answer::stored && connection.aheadUs >= reportTimeAheadNoticeUs) countReportAhead();
    if (outcome == answer::stored && protocol.storedAnswerReadsStorage &&
        loop.settings.storedAnswer != nullptr) {
        startRoute(loop, id, connection, loop.settings.storedAnswer, false);
        return;
    }
    HttpRequest request;
    readRequestHead(connection.bytes, request);
    const IngestAnswer reply = protocol.answer(outcome, request, connection.problem);
    const std::string logged = &protocol == &wayloomProtocol()
                                   ? reply.body
                                   : std::string(protocol.name) + ' ' + std::to_string(reply.status);
    startAnswer(loop, id, connection,
                answerHead(versionOf(connection), reply.status, reply.contentType,
                           static_cast<long long>(reply.body.size()), reply.extraHeaders) +
                    reply.body,
                logged);
}

void answerStatus(Loop& loop, std::uint64_t id, Connection& connection, int status) {
    startAnswer(loop, id, connection, answerHead(versionOf(connection), status, "text/plain", 0),
                std::to_string(status));
}

// ---- Reports -----------------------------------------------------------------------

char answerFor(const AccountCheck& check) {
    switch (check.verdict) {
        case AccountVerdict::accepted:
            return answer::stored;
        case AccountVerdict::unknownLogin:
            return answer::unknownLogin;
        case AccountVerdict::wrongPassword:
            return answer::wrongPassword;
        case AccountVerdict::disabled:
            return answer::disabled;
        case AccountVerdict::limited:  // guessing under way: a right password tries again
        case AccountVerdict::storageFailed:
            return answer::notStored;
    }
    return answer::notStored;
}

// An accepted report goes to the committer; any other verdict is the answer.
void actOnCheck(Loop& loop, std::uint64_t ticket, const AccountCheck& check, IngestMessage message,
                const std::string& client) {
    if (check.verdict != AccountVerdict::accepted) {
        if (check.verdict == AccountVerdict::storageFailed) countDatabaseError();
        postAnswer(loop, ticket, answerFor(check));
        return;
    }
    if (message.positions.empty()) {  // a message without a position: delivered
        postAnswer(loop, ticket, answer::nothingToStore);
        return;
    }
    PendingReport report;
    report.ticket = ticket;
    report.positions = std::move(message.positions);
    for (Position& position : report.positions) {
        position.accountId = check.accountId;
        position.client = client;
    }
    submitReport(loop.committer, std::move(report));
}

void runChecker(Loop& loop) {
    while (true) {
        SlowCheck check;
        {
            std::unique_lock lock(loop.checksMutex);
            loop.checksArrived.wait(lock, [&] { return loop.checkersStop || !loop.slowChecks.empty(); });
            if (loop.slowChecks.empty()) return;
            check = std::move(loop.slowChecks.front());
            loop.slowChecks.pop_front();
        }
        const AccountCheck verdict =
            checkAccount(*loop.settings.accounts, check.message.login, check.message.secret, check.client);
        actOnCheck(loop, check.ticket, verdict, std::move(check.message), check.client);
    }
}

// The account check that needs no slow verification: a device key alone, or
// a login whose password is cached (or that is unknown, disabled, limited).
bool checkQuickly(Loop& loop, const IngestProtocol& protocol, IngestMessage& message,
                  const std::string& client, AccountCheck& check) {
    if (protocol.credentials == IngestCredentials::key) {
        check = checkDeviceKey(*loop.settings.accounts, message.secret, client, message.login);
        return true;
    }
    return checkAccountQuickly(*loop.settings.accounts, message.login, message.secret, client, check);
}

// How far the newest time a message's positions carry lies ahead of its
// arrival (a slow server clock, a fast device's); 0 when none does.
std::int64_t aheadOf(const IngestMessage& message, std::int64_t arrivalUs) {
    std::int64_t ahead = 0;
    for (const Position& p : message.positions)
        if (p.timeSent) ahead = std::max(ahead, p.timeUs - arrivalUs);
    return ahead;
}

void handleIngest(Loop& loop, std::uint64_t id, Connection& connection, const HttpRequest& request) {
    IngestMessage message;
    const std::int64_t arrivalUs = nowUs();
    const char outcome = connection.protocol->read(request, arrivalUs, message);
    connection.login = message.login;
    connection.problem = message.problem;
    connection.aheadUs = aheadOf(message, arrivalUs);
    if (outcome != answer::stored && outcome != answer::nothingToStore) {
        answerIngest(loop, id, connection, outcome);
        return;
    }
    connection.phase = Phase::checking;
    loop.storageDeadlines.emplace_back(Clock::now() + loop.settings.storageTimeout, id);
    AccountCheck check;
    if (checkQuickly(loop, *connection.protocol, message, connection.client, check)) {
        connection.login = message.login;
        actOnCheck(loop, id, check, std::move(message), connection.client);
        return;
    }
    // A device at its usual address goes before guesses from elsewhere.
    const bool known = knownClient(*loop.settings.accounts, message.login, connection.client);
    {
        const std::lock_guard lock(loop.checksMutex);
        if (loop.slowChecks.size() < slowChecksMax) {
            if (known) {
                loop.slowChecks.push_front({id, std::move(message), connection.client});
            } else {
                loop.slowChecks.push_back({id, std::move(message), connection.client});
            }
            countSlowVerification();
            loop.checksArrived.notify_one();
            return;
        }
    }
    // Too many verifications waiting: the client tries again later.
    answerIngest(loop, id, connection, answer::notStored);
}

void deliverAnswers(Loop& loop) {
    std::uint64_t count = 0;
    (void)!read(loop.wake, &count, sizeof count);
    std::vector<std::pair<std::uint64_t, char>> ready;
    {
        const std::lock_guard lock(loop.answersMutex);
        ready.swap(loop.answers);
    }
    for (const auto& [id, answerChar] : ready) {
        const auto found = loop.connections.find(id);
        if (found == loop.connections.end() || found->second.phase != Phase::checking) continue;
        answerIngest(loop, id, found->second, answerChar);
    }
}

// ---- Routes -------------------------------------------------------------------------

void runRoute(const Route* route, int socket, ssl_st* tls, bool secure, std::string bytes,
              const std::string& client, Clock::time_point started, const std::atomic<bool>& stopping) {
    HttpRequest request;
    readRequestHead(bytes, request);
    request.body = std::string_view(bytes).substr(request.headLength, request.contentLength);
    request.client = client;
    request.secure = secure;
    HttpStream stream(socket, request.version, stopping, tls, secure);
    if (request.method == "HEAD") stream.omitBody();
    try {
        route->handler(request, stream);
    } catch (const std::exception& fault) {
        std::fprintf(stderr, "wayloom-server: %.*s %s: %s\n", static_cast<int>(request.path.size()),
                     request.path.data(), client.c_str(), fault.what());
        if (stream.status() == 0) stream.respond(500, "text/plain", "");
    }
    std::string outcome(request.method);
    outcome += ' ';
    appendLogWord(outcome, logSafePath(request.path));
    outcome += ' ';
    outcome += std::to_string(stream.status());
    std::string line;
    appendLogLine(line, client, "-", outcome, started);
    writeLog(line);
    tlsEnd(tls);
    shutdown(socket, SHUT_WR);
    close(socket);
    countConnection(-1);
}

void reapRouteThreads(Loop& loop) {
    for (auto it = loop.routeThreads.begin(); it != loop.routeThreads.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = loop.routeThreads.erase(it);
        } else {
            ++it;
        }
    }
}

// A health probe or a metrics scrape: answered on threads of its own
// allowance, so that handlers busy with sign-ins or exports never hold it up.
bool isProbe(std::string_view path) {
    return path == healthPath || path == metricsPath;
}

void startRoute(Loop& loop, std::uint64_t id, Connection& connection, const Route* route, bool probe) {
    reapRouteThreads(loop);
    const auto running =
        static_cast<std::size_t>(std::count_if(loop.routeThreads.begin(), loop.routeThreads.end(),
                                               [&](const RouteThread& t) { return t.probe == probe; }));
    if (running >= (probe ? probeThreadsMax : routeThreadsMax)) {
        answerStatus(loop, id, connection, 503);
        return;
    }
    const int socket = connection.socket;
    epoll_ctl(loop.epoll, EPOLL_CTL_DEL, socket, nullptr);
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) & ~O_NONBLOCK);
    const timeval timeout{static_cast<time_t>(answerSendTimeout.count()), 0};
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    auto done = std::make_shared<std::atomic<bool>>(false);
    loop.routeThreads.push_back(
        {std::thread([route, socket, tls = connection.tls, secure = connection.secure,
                      bytes = std::move(connection.bytes), client = connection.client,
                      started = connection.started, stopping = loop.settings.stopping, done]() mutable {
             runRoute(route, socket, tls, secure, std::move(bytes), client, started, *stopping);
             done->store(true);
         }),
         done, probe});
    loop.connections.erase(id);  // the thread owns the socket now
}

// ---- Reading requests ------------------------------------------------------------

// The head is complete: decides where the request goes and how long its
// body may be; false when it was answered already.
bool routeHead(Loop& loop, std::uint64_t id, Connection& connection, const HttpRequest& request,
               std::size_t& bodyMax) {
    const Listener& listener = *connection.listener;
    connection.protocol = listener.osmandOnly ? &osmandProtocol()
                          : listener.reports  ? findIngestProtocol(request.path)
                                              : nullptr;
    if (connection.protocol != nullptr) {
        if (!ingestMethodAllowed(*connection.protocol, request.method)) {
            connection.protocol = nullptr;
            answerStatus(loop, id, connection, 405);
            return false;
        }
        if (request.contentLength > connection.protocol->bodyMaxBytes) {
            connection.problem = "too long";
            answerIngest(loop, id, connection, answer::notAReport);
            return false;
        }
        bodyMax = connection.protocol->bodyMaxBytes;
        return true;
    }
    bool pathKnown = false;
    if (listener.routes == nullptr ||
        listener.routes->find(request.method, request.path, pathKnown) == nullptr) {
        answerStatus(loop, id, connection, pathKnown ? 405 : 404);
        return false;
    }
    if (request.contentLength > routeBodyMaxBytes) {
        answerStatus(loop, id, connection, 413);
        return false;
    }
    bodyMax = routeBodyMaxBytes;
    return true;
}

void examineRequest(Loop& loop, std::uint64_t id, Connection& connection) {
    HttpRequest request;
    const HeadState head = readRequestHead(connection.bytes, request);
    switch (head) {
        case HeadState::incomplete:
            return;
        case HeadState::bad:
            answerStatus(loop, id, connection, 400);
            return;
        case HeadState::tooLarge:
            answerStatus(loop, id, connection, 431);
            return;
        case HeadState::unsupported:
            answerStatus(loop, id, connection, 501);
            return;
        case HeadState::complete:
            break;
    }
    if (!connection.headRead) {
        connection.headRead = true;
        connection.secure = connection.tls != nullptr ||
                            forwardedOverTls(connection.client, request, loop.settings.trustedProxies);
        connection.client = forwardedClient(connection.client, request, loop.settings.trustedProxies);
        connection.requestLength = request.headLength + request.contentLength;
        std::size_t bodyMax = 0;
        if (!routeHead(loop, id, connection, request, bodyMax)) return;
    }
    if (connection.bytes.size() < connection.requestLength) return;
    const std::string_view body =
        std::string_view(connection.bytes).substr(request.headLength, request.contentLength);
    if (connection.protocol != nullptr) {
        request.body = body;
        request.client = connection.client;
        request.secure = connection.secure;
        handleIngest(loop, id, connection, request);
        return;
    }
    bool pathKnown = false;
    startRoute(loop, id, connection,
               connection.listener->routes->find(request.method, request.path, pathKnown),
               isProbe(request.path));
}

// What a connection whose request is arriving waits for.
std::uint32_t readEvents(const Connection& connection) {
    return EPOLLIN | EPOLLRDHUP | (connection.tlsWantsWrite ? EPOLLOUT : 0u);
}

// One read's worth: a whole report request (well under 1 KiB) or a whole TLS
// record (at most 16 KiB of data) at once.
constexpr std::size_t readChunkBytes = 16384;

// Reads what the client has sent, until the socket has no more, and acts on a
// request once it is whole; a client that closed or failed is let go.
void readFrom(Loop& loop, std::uint64_t id, Connection& connection) {
    std::array<char, readChunkBytes> chunk;
    const bool wantedWrite = connection.tlsWantsWrite;
    while (true) {
        const ssize_t count = retryOnSignal([&] {
            return connection.tls != nullptr
                       ? tlsReceive(connection.tls, chunk.data(), chunk.size(), connection.tlsWantsWrite)
                       : recv(connection.socket, chunk.data(), chunk.size(), 0);
        });
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (connection.tlsWantsWrite != wantedWrite && connection.phase == Phase::reading)
                watch(loop, id, connection.socket, readEvents(connection));
            break;
        }
        if (count <= 0) {
            // The client closed or reset: a request cut short gets no answer.
            if (connection.phase == Phase::reading || connection.phase == Phase::draining) {
                if (connection.phase == Phase::reading && !connection.bytes.empty())
                    logRequest(loop, connection, "closed");
                closeConnection(loop, id);
            } else {
                // Checking: the socket is freed at once, the answer dropped when it comes.
                logRequest(loop, connection, "closed");
                closeConnection(loop, id);
            }
            return;
        }
        if (connection.phase != Phase::reading) continue;  // the rest of a refused request
        connection.bytes.append(chunk.data(), static_cast<std::size_t>(count));
        // Never more than a head and the largest body are kept. A short read
        // took all there was: epoll tells when more comes. (Not so over TLS,
        // where a read returns one record and the next may be read already.)
        if (connection.bytes.size() > requestHeadMaxBytes + std::max(routeBodyMaxBytes, phoneJsonMaxBytes))
            break;
        if (static_cast<std::size_t>(count) < chunk.size() && connection.tls == nullptr) break;
    }
    if (connection.phase == Phase::reading) examineRequest(loop, id, connection);
}

// ---- The loop -----------------------------------------------------------------------

void acceptAll(Loop& loop, const Listener& listener) {
    while (loop.listening) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        const int socket = accept4(listener.socket, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                                   SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (socket < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop accepting for a moment rather than spin.
                for (const Listener& each : loop.settings.listeners)
                    epoll_ctl(loop.epoll, EPOLL_CTL_DEL, each.socket, nullptr);
                loop.acceptResumes = Clock::now() + acceptPause;
            }
            return;
        }
        const std::uint64_t id = loop.nextId++;
        countConnection(1);
        Connection& connection = loop.connections[id];
        connection.socket = socket;
        connection.listener = &listener;
        connection.client = addressText(peer);
        connection.started = Clock::now();
        if (listener.tls != nullptr && (connection.tls = tlsSessionFor(*listener.tls, socket)) == nullptr) {
            closeConnection(loop, id);
            continue;
        }
        loop.deadlines.emplace_back(connection.started + loop.settings.requestTimeout, id);
        // The request is usually there already: read it before asking epoll.
        readFrom(loop, id, connection);
        // A report being checked is watched too: a client that leaves frees its socket at once.
        const auto found = loop.connections.find(id);
        if (found != loop.connections.end() &&
            (found->second.phase == Phase::reading || found->second.phase == Phase::checking))
            watch(loop, id, socket, readEvents(found->second));
    }
}

void armListeners(Loop& loop) {
    for (std::size_t i = 0; i < loop.settings.listeners.size(); ++i) {
        epoll_event event{EPOLLIN, {.u64 = listenerTagBase + i}};
        epoll_ctl(loop.epoll, EPOLL_CTL_ADD, loop.settings.listeners[i].socket, &event);
    }
}

void expireDeadlines(Loop& loop) {
    const auto now = Clock::now();
    while (!loop.lingers.empty() && loop.lingers.front().first <= now) {
        const auto found = loop.connections.find(loop.lingers.front().second);
        if (found != loop.connections.end() && found->second.phase == Phase::draining)
            closeConnection(loop, found->first);
        loop.lingers.pop_front();
    }
    while (!loop.deadlines.empty() && loop.deadlines.front().first <= now) {
        const std::uint64_t id = loop.deadlines.front().second;
        loop.deadlines.pop_front();
        const auto found = loop.connections.find(id);
        if (found == loop.connections.end()) continue;
        Connection& connection = found->second;
        if (connection.phase == Phase::reading && connection.tls != nullptr && !tlsReady(connection.tls)) {
            logRequest(loop, connection, "handshake");  // no answer can reach it
            closeConnection(loop, id);
        } else if (connection.phase == Phase::reading) {
            answerStatus(loop, id, connection, 408);  // a slow sender is let go
        } else if (connection.phase == Phase::writing) {
            logRequest(loop, connection, "unsent");
            closeConnection(loop, id);
        }
        // checking: answered by the committer, or below once the storage takes too long.
    }
    while (!loop.storageDeadlines.empty() && loop.storageDeadlines.front().first <= now) {
        const std::uint64_t id = loop.storageDeadlines.front().second;
        loop.storageDeadlines.pop_front();
        const auto found = loop.connections.find(id);
        if (found != loop.connections.end() && found->second.phase == Phase::checking)
            answerIngest(loop, id, found->second, answer::notStored);
    }
}

// How long the loop may wait for events: until the next deadline or linger
// ends, and never beyond loopWakeInterval (or acceptPause while accepting is
// paused).
int timeoutMs(const Loop& loop) {
    long long ms = (loop.acceptResumes != Clock::time_point{} ? acceptPause : loopWakeInterval).count();
    for (const auto* queue : {&loop.deadlines, &loop.lingers, &loop.storageDeadlines}) {
        if (queue->empty()) continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(queue->front().first - Clock::now());
        ms = std::min<long long>(ms, std::max<long long>(left.count(), 0));
    }
    return static_cast<int>(ms);
}

void stopListening(Loop& loop) {
    loop.listening = false;
    for (Listener& listener : loop.settings.listeners) {
        close(listener.socket);
        listener.socket = -1;
    }
}

bool setUp(Loop& loop) {
    loop.epoll = epoll_create1(EPOLL_CLOEXEC);
    loop.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGTERM);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGHUP);
    loop.signals = signalfd(-1, &stopSet, SFD_CLOEXEC | SFD_NONBLOCK);
    if (loop.epoll < 0 || loop.wake < 0 || loop.signals < 0) return false;
    epoll_event wakeEvent{EPOLLIN, {.u64 = wakeTag}};
    epoll_event signalEvent{EPOLLIN, {.u64 = signalTag}};
    epoll_ctl(loop.epoll, EPOLL_CTL_ADD, loop.wake, &wakeEvent);
    epoll_ctl(loop.epoll, EPOLL_CTL_ADD, loop.signals, &signalEvent);
    armListeners(loop);
    return true;
}

void dispatch(Loop& loop, const epoll_event& event) {
    const std::uint64_t tag = event.data.u64;
    if (tag == wakeTag) {
        deliverAnswers(loop);
    } else if (tag == signalTag) {
        signalfd_siginfo info{};
        (void)!read(loop.signals, &info, sizeof info);
        if (info.ssi_signo == SIGHUP) {
            if (loop.settings.onHangUp) loop.settings.onHangUp();
            return;
        }
        std::fprintf(stderr, "wayloom-server: %s: finishing the requests in flight\n",
                     strsignal(static_cast<int>(info.ssi_signo)));
        loop.settings.stopping->store(true);
        // Clients whose connection is made but not yet accepted are in flight too.
        for (const Listener& listener : loop.settings.listeners) acceptAll(loop, listener);
        stopListening(loop);
    } else if (tag < firstConnectionId) {
        if (loop.listening) acceptAll(loop, loop.settings.listeners[tag - listenerTagBase]);
    } else {
        const auto found = loop.connections.find(tag);
        if (found == loop.connections.end()) return;
        Connection& connection = found->second;
        if (connection.phase == Phase::writing && (event.events & EPOLLOUT) != 0) {
            sendPending(loop, tag, connection);
        } else if ((event.events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0 ||
                   (connection.phase == Phase::reading && (event.events & EPOLLOUT) != 0)) {
            readFrom(loop, tag, connection);
        }
    }
}

// Events taken from one epoll_wait; more wait for the next turn of the loop.
constexpr std::size_t eventsPerWait = 256;

// epoll_wait, with a signal's interruption as a wait that found nothing.
int waitForEvents(int epoll, std::span<epoll_event> events, int timeoutMs) {
    const int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), timeoutMs);
    return ready < 0 && errno == EINTR ? 0 : ready;
}

// The loop: waits for events, dispatches them, expires the deadlines and
// writes the log, until a stop has drained the connections (or drainLimit).
void runLoop(Loop& loop) {
    std::array<epoll_event, eventsPerWait> events;
    Clock::time_point drainEnds{};
    while (true) {
        if (loop.settings.stopping->load()) {
            if (drainEnds == Clock::time_point{}) drainEnds = Clock::now() + drainLimit;
            reapRouteThreads(loop);
            if ((loop.connections.empty() && loop.routeThreads.empty()) || Clock::now() >= drainEnds) return;
        }
        const int ready = waitForEvents(loop.epoll, events, timeoutMs(loop));
        if (ready < 0) return;
        for (int i = 0; i < ready; ++i) dispatch(loop, events[static_cast<std::size_t>(i)]);
        expireDeadlines(loop);
        writeLog(loop.log);
        loop.log.clear();
        if (loop.acceptResumes != Clock::time_point{} && Clock::now() >= loop.acceptResumes &&
            loop.listening) {
            loop.acceptResumes = {};
            armListeners(loop);
        }
    }
}

// Lets as many connections be open at once as the system allows this process.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int serve(ServeSettings& settings) {
    raiseDescriptorLimit();
    auto loop = std::make_unique<Loop>(settings);
    if (!setUp(*loop)) {
        std::fprintf(stderr, "wayloom-server: cannot set up the event loop: %s\n", std::strerror(errno));
        return 1;
    }
    Loop& l = *loop;
    l.committer.database = settings.database;
    l.committer.feed = settings.feed;
    l.committer.sink = [&l](std::span<const std::pair<std::uint64_t, char>> answers) {
        postAnswers(l, answers);
    };
    std::string error;
    if (!startCommitter(l.committer, error)) {
        std::fprintf(stderr, "wayloom-server: %s\n", error.c_str());
        return 1;
    }
    for (int i = 0; i < checkerThreads; ++i) l.checkers.emplace_back([&l] { runChecker(l); });
    runLoop(l);
    {
        const std::lock_guard lock(l.checksMutex);
        l.checkersStop = true;
        l.checksArrived.notify_all();
    }
    for (std::thread& checker : l.checkers) checker.join();
    stopCommitter(l.committer);
    for (RouteThread& route : l.routeThreads) route.thread.join();
    for (auto& [id, connection] : l.connections) {
        tlsEnd(connection.tls);
        close(connection.socket);
    }
    if (l.listening) stopListening(l);
    close(l.epoll);
    close(l.wake);
    close(l.signals);
    std::fprintf(stderr, "wayloom-server: stopped after %llu reports in %llu commits\n",
                 static_cast<unsigned long long>(l.committer.reports),
                 static_cast<unsigned long long>(l.committer.groups));
    return 0;
}
