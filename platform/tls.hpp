// TLS over a connected socket, for reports to an https server.
//
// The peer's certificate chain is verified against the system's store of
// certificate authorities, or against one PEM file instead, and its name (or
// IP address) against the host the user named; a peer that fails either is
// never sent anything. Every wait has the deadline of its step in
// netTimeouts: the handshake that of the connection, writing that of the
// send, reading that of the answer.
//
// The TLS library (loaded on first use) allocates on the heap; that stays
// inside this module. A
// session lives for one exchange and is ended before its socket is closed.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "platform/net.hpp"

struct TlsSession;  // the library's state of one connection

// Loads the TLS library on first use; false when it is not installed, and
// no https report can be made (as when the socket library does not start).
bool tlsAvailable();

// Performs the handshake on socket and verifies the peer for host. caFile is
// a PEM file of trusted authorities, or empty for the system's store. On
// success session holds the connection; on any failure it is null and false
// is returned.
bool startTlsSession(SocketHandle socket, std::string_view host, std::string_view caFile,
                     TlsSession*& session);

// Sends all of data inside the session; false when any part cannot be sent in
// time or nothing is to be sent.
bool tlsSendAll(TlsSession* session, std::span<const char> data);

// Reads into buffer until the peer closes (with or without saying so), the
// buffer is full or netTimeouts.answer has passed; returns the bytes read.
std::size_t tlsReceiveAnswer(TlsSession* session, std::span<char> buffer);

// Says goodbye without waiting for the answer to it, releases the session and
// leaves it null. Safe to call with a null session. The socket stays open.
void endTlsSession(TlsSession*& session);
