// One report exchange: the summary line and "Connecting...", a route to the
// report host, a TCP connection to its port 80, the request, the answer, and
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

#include "app/statuslog.hpp"
#include "platform/net.hpp"
#include "report/protocol.hpp"
#include "settings/settings.hpp"

namespace {

// The text of a zero-terminated fixed array, without its terminator.
template <typename Char, std::size_t capacity>
std::basic_string_view<Char> terminatedText(const std::array<Char, capacity>& text) {
    const auto end = std::find(text.begin(), text.end(), Char{0});
    return {text.data(), static_cast<std::size_t>(end - text.begin())};
}

// Connects, sends the request and reads the answer on an open socket; the
// outcome message of the first step that fails, or of the answer.
std::uint16_t carryReport(SocketHandle socket, const NumberText& latText, const NumberText& lonText,
                          const NumberText& speedText) {
    HostAddress address{};
    if (!resolveHostAddress(reportHost(), reportPort, address) || !connectSocket(socket, address)) {
        return messageCantOpenHost;
    }
    ReportRequest request{};
    buildReportRequest(latText, lonText, speedText, terminatedText(settings.login),
                       terminatedText(settings.password), request);
    const std::size_t length = std::min(request.length, request.text.size());
    if (!sendAll(socket, std::span<const char>(request.text.data(), length))) return messageCantSendData;

    std::array<char, responseCapacity> answer{};
    const std::size_t received = receiveAnswer(socket, answer);
    return classifyReportResponse(std::span<const char>(answer.data(), received));
}

}  // namespace

// No route within 15 seconds (a name that does not resolve included) or no
// socket library: "Can't connect!". No connection within 10 seconds: "Can't
// open host!". A request that cannot leave: "Can't send data!". Otherwise the
// answer read until the server closes, 512 bytes arrive or 20 seconds pass
// gives the outcome; no answer at all is "Service unavailable!".
void runReportExchange(double latitude, double longitude, double speed) {
    const NumberText latText = formatReportNumber(latitude);
    const NumberText lonText = formatReportNumber(longitude);
    const NumberText speedText = formatReportNumber(speed);
    appendStatusLine(terminatedText(formatReportSummary(latText, lonText, speedText)));
    showMessage(messageConnecting);

    SocketHandle socket = invalidSocketHandle;
    std::uint16_t outcome = messageCantConnect;
    if (waitForRoute(reportHost()) && startSocketLibrary()) {
        socket = openTcpSocket();
        outcome = carryReport(socket, latText, lonText, speedText);
    }
    stopSocketLibrary(socket);
    showMessage(outcome);
}
