// TLS of wayloom-server: the context made from --tls-cert and --tls-key,
// loaded again on SIGHUP, and reading and writing a connection through it.
//
// A reload makes a new context for the connections accepted after it; the
// connections made before keep the context they began with, so nothing in
// flight is dropped. A certificate or key that cannot be used leaves the old
// context in place, and the reason goes to standard error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

struct TlsServer {
    std::string certificateFile;  // PEM: the certificate, then the chain
    std::string keyFile;          // PEM: its private key
    ssl_ctx_st* context = nullptr;
};

// Loads certificateFile and keyFile into a new context that replaces the
// current one; false with error set (and the current context kept) when
// they cannot be used. Call from one thread at a time, the one that accepts.
bool loadTls(TlsServer& tls, std::string& error);

// loadTls for SIGHUP: says on standard error what was loaded or why not.
void reloadTls(TlsServer& tls);

// Frees the contexts; the server takes no TLS connection afterwards.
void freeTls(TlsServer& tls);

// A server-side session over socket with the current context, ready for
// tlsReceive to take the handshake; nullptr when one cannot be made.
ssl_st* tlsSessionFor(TlsServer& tls, int socket);

// Like recv(): the count of bytes read, 0 when the client closed, -1 with
// errno EAGAIN when it must wait for the socket (wantsWrite then tells it
// waits to write, as a handshake may), -1 with another errno on failure.
ssize_t tlsReceive(ssl_st* session, char* data, std::size_t size, bool& wantsWrite);

// Like send(): the count of bytes written, -1 with errno EAGAIN when the
// socket takes no more now, -1 with another errno on failure.
ssize_t tlsSend(ssl_st* session, const char* data, std::size_t size);

// Sends the closing alert (when the socket takes it at once) and frees the
// session; the caller closes the socket.
void tlsEnd(ssl_st* session);

// True once the handshake is done: an answer can be sent.
bool tlsReady(ssl_st* session);

// Sends the closing alert alone: the answer is complete, reading goes on.
void tlsFinishWriting(ssl_st* session);
