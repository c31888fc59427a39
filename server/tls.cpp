// TLS of wayloom-server through OpenSSL.
#include "server/tls.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>

namespace {

// The first error OpenSSL queued, as text; the queue is emptied.
std::string openSslError() {
    char text[256] = "unknown error";
    const unsigned long code = ERR_get_error();
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

// errno for a failed SSL_read or SSL_write, as recv() and send() set it.
ssize_t failure(ssl_st* session, int result, bool* wantsWrite) {
    const int reason = SSL_get_error(session, result);
    if (wantsWrite != nullptr) *wantsWrite = reason == SSL_ERROR_WANT_WRITE;
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
        errno = EAGAIN;
    } else if (reason == SSL_ERROR_ZERO_RETURN) {
        return 0;
    } else {
        // A failed handshake (a client that does not trust us), a reset: the connection ends.
        if (reason != SSL_ERROR_SYSCALL || errno == 0) errno = ECONNRESET;
        ERR_clear_error();
    }
    return -1;
}

}  // namespace

bool loadTls(TlsServer& tls, std::string& error) {
    constexpr const char* tls12Ciphers =
        "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
        "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
        "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384";
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        error = "cannot make a TLS context: " + openSslError();
        return false;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // TLS 1.2 only with an ephemeral ECDHE key exchange (forward secrecy: no
    // static-RSA suites even with an RSA certificate), AEAD ciphers, in our
    // order of preference; TLS 1.3's suites all have it already.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_cipher_list(context, tls12Ciphers);
    // Answers are written from a string that may move, and in pieces.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    std::string problem;
    if (SSL_CTX_use_certificate_chain_file(context, tls.certificateFile.c_str()) != 1) {
        problem = "cannot use the certificate in " + tls.certificateFile;
    } else if (SSL_CTX_use_PrivateKey_file(context, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        problem = "cannot use the private key in " + tls.keyFile;
    } else if (SSL_CTX_check_private_key(context) != 1) {
        problem = "the key in " + tls.keyFile + " does not match the certificate in " + tls.certificateFile;
    }
    if (!problem.empty()) {
        error = problem + ": " + openSslError();
        SSL_CTX_free(context);
        return false;
    }
    SSL_CTX_free(tls.context);  // sessions made with it hold their own reference
    tls.context = context;
    return true;
}

void reloadTls(TlsServer& tls) {
    std::string error;
    if (loadTls(tls, error)) {
        std::fprintf(stderr, "wayloom-server: SIGHUP: loaded %s and %s for new TLS connections\n",
                     tls.certificateFile.c_str(), tls.keyFile.c_str());
    } else {
        std::fprintf(stderr, "wayloom-server: SIGHUP: %s; keeping the certificate in use\n", error.c_str());
    }
}

void freeTls(TlsServer& tls) {
    SSL_CTX_free(tls.context);
    tls.context = nullptr;
}

ssl_st* tlsSessionFor(TlsServer& tls, int socket) {
    SSL* session = SSL_new(tls.context);
    if (session == nullptr) return nullptr;
    if (SSL_set_fd(session, socket) != 1) {
        SSL_free(session);
        return nullptr;
    }
    SSL_set_accept_state(session);
    return session;
}

ssize_t tlsReceive(ssl_st* session, char* data, std::size_t size, bool& wantsWrite) {
    std::size_t count = 0;
    wantsWrite = false;
    const int result = SSL_read_ex(session, data, size, &count);
    if (result == 1) return static_cast<ssize_t>(count);
    return failure(session, result, &wantsWrite);
}

ssize_t tlsSend(ssl_st* session, const char* data, std::size_t size) {
    std::size_t count = 0;
    const int result = SSL_write_ex(session, data, size, &count);
    if (result == 1) return static_cast<ssize_t>(count);
    const ssize_t outcome = failure(session, result, nullptr);
    if (outcome == 0) errno = EPIPE;
    return -1;
}

void tlsEnd(ssl_st* session) {
    if (session == nullptr) return;
    if (SSL_is_init_finished(session)) SSL_shutdown(session);
    ERR_clear_error();
    SSL_free(session);
}

bool tlsReady(ssl_st* session) {
    return SSL_is_init_finished(session) == 1;
}

void tlsFinishWriting(ssl_st* session) {
    if (SSL_is_init_finished(session)) SSL_shutdown(session);
    ERR_clear_error();
}
