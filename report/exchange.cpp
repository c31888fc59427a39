// One report exchange: the summary line and "Connecting...", a route to the
// report host, a TCP connection to its port (80 unless the server line says
// otherwise; for https 443 and TLS on it), the request, the answer, and
// exactly one outcome message.
//
// The steps run in a fixed order and the first failure decides the outcome.
// Whatever the path, the socket is closed before the outcome is shown, and
// nothing survives into the next exchange. Every buffer is a fixed array on
// this thread's stack.

#include "report/exchange.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/net.hpp"
#include "platform/tls.hpp"
#include "report/protocol.hpp"
#include "report/text.hpp"
#include "settings/settings.hpp"
#include "status/statuslog.hpp"

namespace {

// Sends the request and reads the answer, inside TLS when session is not null.
std::uint16_t sendAndReceive(SocketHandle socket, TlsSession* session, const ReportRequest& request) {
    const std::span<const char> text(request.text.data(), std::min(request.length, request.text.size()));
    if (!(session != nullptr ? tlsSendAll(session, text) : sendAll(socket, text))) return messageCantSendData;
    std::array<char, responseCapacity> answer{};
    const std::size_t received =
        session != nullptr ? tlsReceiveAnswer(session, answer) : receiveAnswer(socket, answer);
    return classifyReportResponse(std::span<const char>(answer.data(), received));
}

// Connects to the first of the host's addresses that takes the connection
// (and for https verifies the server: a peer that fails is "Can't open host!"
// and is sent nothing), sends the request and reads the answer; the outcome message of the first step that
// fails, or of the answer. The TLS session ends here, before the socket closes.
std::uint16_t carryReport(const ReportTarget& target, SocketHandle& socket, const NumberText& latText,
                          const NumberText& lonText, const NumberText& speedText, std::string_view fixTime) {
    socket = connectToHost(target.host, target.port);
    if (socket == invalidSocketHandle) return messageCantOpenHost;
    TlsSession* session = nullptr;
    if (target.tls && !startTlsSession(socket, target.host, terminatedText(settings.caFile), session))
        return messageCantOpenHost;
    ReportRequest request{};
    buildReportRequest(latText, lonText, speedText, terminatedText(settings.login),
                       terminatedText(settings.password), request, fixTime);
    const std::uint16_t outcome = sendAndReceive(socket, session, request);
    endTlsSession(session);
    return outcome;
}

}  // namespace

// A server line that cannot be used, no route within 15 seconds (a name that
// does not resolve included), no socket library, or for https no TLS library:
// "Can't connect!". No connection within 10 seconds, or for https no verified
// handshake within 10 more: "Can't open host!". A request that cannot leave:
// "Can't send data!". Otherwise the
// answer read until the server closes, 512 bytes arrive or 20 seconds pass
// gives the outcome; no answer at all is "Service unavailable!".
std::uint16_t runReportExchange(double latitude, double longitude, double speed, std::string_view fixTime) {
    return exchangeReportTexts(formatReportNumber(latitude), formatReportNumber(longitude),
                               formatReportNumber(speed), fixTime, true);
}

std::uint16_t exchangeReportTexts(const NumberText& latText, const NumberText& lonText,
                                  const NumberText& speedText, std::string_view fixTime, bool showLines) {
    if (showLines) {
        appendStatusLine(terminatedText(formatReportSummary(latText, lonText, speedText)));
        showMessage(messageConnecting);
    }

    // A server line that could not be understood, or a ca-file line too long
    // to be read, ends here: nothing goes anywhere else instead.
    const ReportTarget target = reportTarget();
    const bool trustUsable = !target.tls || settings.caFileUsable;
    SocketHandle socket = invalidSocketHandle;
    std::uint16_t outcome = messageCantConnect;
    const bool tlsReady = !target.tls || tlsAvailable();
    if (target.usable && trustUsable && waitForRoute(target.host) && startSocketLibrary() && tlsReady) {
        outcome = carryReport(target, socket, latText, lonText, speedText, fixTime);
    }
    stopSocketLibrary(socket);
    if (showLines) showMessage(outcome);
    return outcome;
}
