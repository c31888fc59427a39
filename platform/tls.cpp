// TLS through OpenSSL on a non-blocking socket.
//
// Each session has its own context, made and freed with it: the trusted
// authorities are loaded afresh for every report, so a changed store or
// ca-file counts from the next report on and nothing stays between reports.
// Every call that would block waits with waitForSocketReady for the time left
// before its step's deadline.
#include "platform/tls.hpp"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <ctime>

struct TlsSession {
    SSL_CTX* context;
    SSL* connection;
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t pathCapacity = 4096;

// A zero-terminated copy of text; false when it does not fit.
template <std::size_t capacity>
bool terminatedCopy(std::string_view text, std::array<char, capacity>& out) {
    if (text.size() >= out.size()) return false;
    std::copy(text.begin(), text.end(), out.begin());
    out[text.size()] = '\0';
    return true;
}

bool isIpAddress(const char* host) {
    std::array<unsigned char, 16> probe;
    return inet_pton(AF_INET, host, probe.data()) == 1 || inet_pton(AF_INET6, host, probe.data()) == 1;
}

// OpenSSL writes to the socket without MSG_NOSIGNAL, so a peer that has gone
// would raise SIGPIPE. While a guard lives SIGPIPE is blocked on this thread;
// one that came meanwhile is taken off before it is unblocked again.
struct QuietPipe {
    sigset_t previous;
    bool wasPending;
    QuietPipe() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    }
    ~QuietPipe() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending && sigismember(&pending, SIGPIPE) == 1) {
            const timespec noWait{0, 0};
            while (sigtimedwait(&pipe, nullptr, &noWait) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    QuietPipe(const QuietPipe&) = delete;
    QuietPipe& operator=(const QuietPipe&) = delete;
};

// Runs one step of the library until it completes, waiting on the socket as it
// asks; false on failure or when deadline passes.
template <typename Step>
bool runUntilDone(TlsSession* session, SocketHandle socket, Clock::time_point deadline, Step step,
                  int& result) {
    const QuietPipe quiet;
    for (;;) {
        ERR_clear_error();
        result = step();
        if (result > 0) return true;
        const int reason = SSL_get_error(session->connection, result);
        if (reason == SSL_ERROR_WANT_READ) {
            if (!waitForSocketReady(socket, false, deadline)) return false;
        } else if (reason == SSL_ERROR_WANT_WRITE) {
            if (!waitForSocketReady(socket, true, deadline)) return false;
        } else {
            return false;
        }
    }
}

// The context: TLS 1.2 at least, the peer verified against caFile or the
// system's store.
SSL_CTX* makeContext(std::string_view caFile) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) return nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    std::array<char, pathCapacity> path;
    const bool trusted = caFile.empty()
                             ? SSL_CTX_set_default_verify_paths(context) == 1
                             : terminatedCopy(caFile, path) &&
                                   SSL_CTX_load_verify_locations(context, path.data(), nullptr) == 1;
    if (!trusted) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

// The name the certificate must carry: a host name (also sent as the server
// name), or an IP address.
bool setExpectedPeer(SSL* connection, const char* host) {
    if (isIpAddress(host)) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(connection), host) == 1;
    return SSL_set_tlsext_host_name(connection, host) == 1 && SSL_set1_host(connection, host) == 1;
}

}  // namespace

bool startTlsSession(SocketHandle socket, std::string_view host, std::string_view caFile,
                     TlsSession*& session) {
    session = nullptr;
    std::array<char, hostNameCapacity> hostName;
    if (socket == invalidSocketHandle || host.empty() || !terminatedCopy(host, hostName)) return false;
    static TlsSession sessionStore;  // one exchange at a time, on the report cycle thread
    TlsSession* opened = &sessionStore;
    opened->context = makeContext(caFile);
    opened->connection = opened->context == nullptr ? nullptr : SSL_new(opened->context);
    if (opened->connection == nullptr || !setExpectedPeer(opened->connection, hostName.data()) ||
        SSL_set_fd(opened->connection, socket) != 1) {
        endTlsSession(opened);
        return false;
    }
    int result = 0;
    const Clock::time_point deadline = Clock::now() + netTimeouts.connect;
    const bool verified =
        runUntilDone(
            opened, socket, deadline, [&] { return SSL_connect(opened->connection); }, result) &&
        SSL_get_verify_result(opened->connection) == X509_V_OK;
    if (!verified) {
        endTlsSession(opened);
        return false;
    }
    session = opened;
    return true;
}

bool tlsSendAll(TlsSession* session, std::span<const char> data) {
    if (session == nullptr || data.empty()) return false;
    const int socket = SSL_get_fd(session->connection);
    const Clock::time_point deadline = Clock::now() + netTimeouts.send;
    std::size_t sent = 0;
    while (sent < data.size()) {
        std::size_t written = 0;
        int result = 0;
        if (!runUntilDone(
                session, socket, deadline,
                [&] {
                    return SSL_write_ex(session->connection, data.data() + sent, data.size() - sent,
                                        &written);
                },
                result))
            return false;
        sent += written;
    }
    return true;
}

std::size_t tlsReceiveAnswer(TlsSession* session, std::span<char> buffer) {
    if (session == nullptr) return 0;
    const int socket = SSL_get_fd(session->connection);
    const Clock::time_point deadline = Clock::now() + netTimeouts.answer;
    std::size_t received = 0;
    while (received < buffer.size()) {
        std::size_t count = 0;
        int result = 0;
        // A close, with or without close_notify, a reset or the deadline all
        // end the answer with what has arrived.
        if (!runUntilDone(
                session, socket, deadline,
                [&] {
                    return SSL_read_ex(session->connection, buffer.data() + received,
                                       buffer.size() - received, &count);
                },
                result))
            break;
        received += count;
    }
    return received;
}

void endTlsSession(TlsSession*& session) {
    if (session == nullptr) return;
    if (session->connection != nullptr) {
        // One try: the socket is non-blocking and the peer's reply is not awaited.
        const QuietPipe quiet;
        ERR_clear_error();
        SSL_shutdown(session->connection);
        SSL_free(session->connection);
    }
    if (session->context != nullptr) SSL_CTX_free(session->context);
    *session = TlsSession{nullptr, nullptr};
    session = nullptr;
    ERR_clear_error();
}
