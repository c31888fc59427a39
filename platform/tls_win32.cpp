// TLS on Windows: not built yet. tlsAvailable() says so, and the report
// exchange refuses an https server before connecting, so a report meant to be
// encrypted is never sent in clear.
#include "platform/tls.hpp"

bool tlsAvailable() {
    return false;
}

bool startTlsSession(SocketHandle, std::string_view, std::string_view, TlsSession*& session) {
    session = nullptr;
    return false;
}

bool tlsSendAll(TlsSession*, std::span<const char>) {
    return false;
}

std::size_t tlsReceiveAnswer(TlsSession*, std::span<char>) {
    return 0;
}

void endTlsSession(TlsSession*& session) {
    session = nullptr;
}
