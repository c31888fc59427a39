// TLS through OpenSSL on a non-blocking socket.
//
// Each session has its own context, made and freed with it: the trusted
// authorities are loaded afresh for every report, so a changed store or
// ca-file counts from the next report on and nothing stays between reports.
// Every call that would block waits with waitForSocketReady for the time left
// before its step's deadline.
//
// The library is loaded when the first https report is made, not with the
// program: loading it costs 1.7 MiB of resident memory, which a program that
// reports over http (the default) has no reason to pay. Its headers give the
// types of the calls; the calls themselves are looked up once.
#include "platform/tls.hpp"

#include "platform/diagnostics.hpp"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

struct TlsSession {
    SSL_CTX* context;
    SSL* connection;
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t pathCapacity = 4096;

#define WAYLOOM_STRINGIFY(x) #x
#define WAYLOOM_SONAME(version) "libssl.so." WAYLOOM_STRINGIFY(version)
constexpr const char* sslLibraryName = WAYLOOM_SONAME(OPENSSL_SHLIB_VERSION);  // "libssl.so.3"

// The library's calls this module makes; libcrypto's come with libssl.
struct OpenSsl {
    decltype(&TLS_client_method) clientMethod;
    decltype(&SSL_CTX_new) contextNew;
    decltype(&SSL_CTX_ctrl) contextControl;
    decltype(&SSL_CTX_set_verify) setVerify;
    decltype(&SSL_CTX_set_default_verify_paths) useDefaultAuthorities;
    decltype(&SSL_CTX_load_verify_locations) loadAuthorities;
    decltype(&SSL_CTX_free) contextFree;
    decltype(&SSL_new) connectionNew;
    decltype(&SSL_get0_param) parameters;
    decltype(&X509_VERIFY_PARAM_set1_ip_asc) expectIp;
    decltype(&SSL_ctrl) control;
    decltype(&SSL_set1_host) expectHost;
    decltype(&SSL_set_fd) setSocket;
    decltype(&SSL_get_fd) getSocket;
    decltype(&SSL_connect) connect;
    decltype(&SSL_get_verify_result) verifyResult;
    decltype(&SSL_get_error) error;
    decltype(&SSL_write_ex) write;
    decltype(&SSL_read_ex) read;
    decltype(&SSL_shutdown) shutdown;
    decltype(&SSL_free) connectionFree;
    decltype(&ERR_clear_error) clearErrors;
    decltype(&ERR_peek_error) firstError;
    decltype(&ERR_reason_error_string) errorReason;
    decltype(&X509_verify_cert_error_string) verifyText;
};

template <typename Function>
bool findCall(void* library, const char* name, Function*& call) {
    void* symbol = dlsym(library, name);
    static_assert(sizeof call == sizeof symbol);
    std::memcpy(&call, &symbol, sizeof call);
    return symbol != nullptr;
}

// Loads the library and finds every call, once; null when that fails.
const OpenSsl* loadOpenSsl() {
    static OpenSsl calls{};
    void* library = dlopen(sslLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    const bool found =
        findCall(library, "TLS_client_method", calls.clientMethod) &&
        findCall(library, "SSL_CTX_new", calls.contextNew) &&
        findCall(library, "SSL_CTX_ctrl", calls.contextControl) &&
        findCall(library, "SSL_CTX_set_verify", calls.setVerify) &&
        findCall(library, "SSL_CTX_set_default_verify_paths", calls.useDefaultAuthorities) &&
        findCall(library, "SSL_CTX_load_verify_locations", calls.loadAuthorities) &&
        findCall(library, "SSL_CTX_free", calls.contextFree) &&
        findCall(library, "SSL_new", calls.connectionNew) &&
        findCall(library, "SSL_get0_param", calls.parameters) &&
        findCall(library, "X509_VERIFY_PARAM_set1_ip_asc", calls.expectIp) &&
        findCall(library, "SSL_ctrl", calls.control) &&
        findCall(library, "SSL_set1_host", calls.expectHost) &&
        findCall(library, "SSL_set_fd", calls.setSocket) &&
        findCall(library, "SSL_get_fd", calls.getSocket) && findCall(library, "SSL_connect", calls.connect) &&
        findCall(library, "SSL_get_verify_result", calls.verifyResult) &&
        findCall(library, "SSL_get_error", calls.error) && findCall(library, "SSL_write_ex", calls.write) &&
        findCall(library, "SSL_read_ex", calls.read) && findCall(library, "SSL_shutdown", calls.shutdown) &&
        findCall(library, "SSL_free", calls.connectionFree) &&
        findCall(library, "ERR_clear_error", calls.clearErrors) &&
        findCall(library, "ERR_peek_error", calls.firstError) &&
        findCall(library, "ERR_reason_error_string", calls.errorReason) &&
        findCall(library, "X509_verify_cert_error_string", calls.verifyText);
    return found ? &calls : nullptr;  // the library stays loaded either way, as the process needs it once
}

const OpenSsl* openSsl() {
    static const OpenSsl* const calls = loadOpenSsl();
    return calls;
}

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
        openSsl()->clearErrors();
        result = step();
        if (result > 0) return true;
        const int reason = openSsl()->error(session->connection, result);
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
SSL_CTX* makeContext(const OpenSsl& ssl, std::string_view caFile) {
    SSL_CTX* context = ssl.contextNew(ssl.clientMethod());
    if (context == nullptr) return nullptr;
    ssl.contextControl(context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    ssl.setVerify(context, SSL_VERIFY_PEER, nullptr);
    std::array<char, pathCapacity> path;
    const bool trusted = caFile.empty() ? ssl.useDefaultAuthorities(context) == 1
                                        : terminatedCopy(caFile, path) &&
                                              ssl.loadAuthorities(context, path.data(), nullptr) == 1;
    if (!trusted) {
        ssl.contextFree(context);
        return nullptr;
    }
    return context;
}

// The name the certificate must carry: a host name (also sent as the server
// name), or an IP address.
bool setExpectedPeer(const OpenSsl& ssl, SSL* connection, char* host) {
    if (isIpAddress(host)) return ssl.expectIp(ssl.parameters(connection), host) == 1;
    return ssl.control(connection, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, host) == 1 &&
           ssl.expectHost(connection, host) == 1;
}

// The library's reason for its first queued error, or fallback when there is
// none or it has no text.
const char* libraryReason(const OpenSsl& ssl, const char* fallback) {
    const unsigned long code = ssl.firstError();
    const char* reason = code == 0 ? nullptr : ssl.errorReason(code);
    return reason != nullptr ? reason : fallback;
}

// The diagnostic line for a handshake that did not end with a verified peer:
// the certificate check's verdict (an expired certificate, another authority,
// another name), else the library's reason (an old protocol, the server's
// alert), else what the wait saw.
void reportHandshakeFailure(const OpenSsl& ssl, SSL* connection, std::string_view host, bool timedOut) {
    const long verdict = ssl.verifyResult(connection);
    const char* reason = verdict != X509_V_OK ? ssl.verifyText(verdict)
                                              : libraryReason(ssl, timedOut ? "no answer in time"
                                                                            : "the connection was closed");
    reportFailure("TLS handshake failed with report host", host, reason);
}

}  // namespace

bool tlsAvailable() {
    return openSsl() != nullptr;
}

bool startTlsSession(SocketHandle socket, std::string_view host, std::string_view caFile,
                     TlsSession*& session) {
    session = nullptr;
    std::array<char, hostNameCapacity> hostName;
    const OpenSsl* ssl = openSsl();
    if (ssl == nullptr || socket == invalidSocketHandle || host.empty() || !terminatedCopy(host, hostName))
        return false;
    static TlsSession sessionStore;  // one exchange at a time, on the report cycle thread
    TlsSession* opened = &sessionStore;
    ssl->clearErrors();
    errno = 0;
    opened->context = makeContext(*ssl, caFile);
    if (opened->context == nullptr) {
        // A file that cannot be read leaves only errno behind.
        const int error = errno;
        reportFailure("cannot load the trusted authorities", caFile.empty() ? "of the system" : caFile,
                      libraryReason(*ssl, error != 0 ? systemReason(error) : "unknown"));
    }
    opened->connection = opened->context == nullptr ? nullptr : ssl->connectionNew(opened->context);
    if (opened->connection == nullptr || !setExpectedPeer(*ssl, opened->connection, hostName.data()) ||
        ssl->setSocket(opened->connection, socket) != 1) {
        endTlsSession(opened);
        return false;
    }
    int result = 0;
    const Clock::time_point deadline = Clock::now() + netTimeouts.connect;
    const bool verified =
        runUntilDone(
            opened, socket, deadline, [&] { return ssl->connect(opened->connection); }, result) &&
        ssl->verifyResult(opened->connection) == X509_V_OK;
    if (!verified) {
        reportHandshakeFailure(*ssl, opened->connection, host, Clock::now() >= deadline);
        endTlsSession(opened);
        return false;
    }
    session = opened;
    return true;
}

bool tlsSendAll(TlsSession* session, std::span<const char> data) {
    if (session == nullptr || data.empty()) return false;
    const int socket = openSsl()->getSocket(session->connection);
    const Clock::time_point deadline = Clock::now() + netTimeouts.send;
    std::size_t sent = 0;
    while (sent < data.size()) {
        std::size_t written = 0;
        int result = 0;
        if (!runUntilDone(
                session, socket, deadline,
                [&] {
                    return openSsl()->write(session->connection, data.data() + sent, data.size() - sent,
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
    const int socket = openSsl()->getSocket(session->connection);
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
                    return openSsl()->read(session->connection, buffer.data() + received,
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
        openSsl()->clearErrors();
        openSsl()->shutdown(session->connection);
        openSsl()->connectionFree(session->connection);
    }
    if (session->context != nullptr) openSsl()->contextFree(session->context);
    *session = TlsSession{nullptr, nullptr};
    session = nullptr;
    openSsl()->clearErrors();
}
