// Feeds arbitrary answers to classifyReportResponse. Beyond the sanitizers,
// it checks that the outcome is one of the table's messages and that any
// outcome other than "Service unavailable!" has a header with "200 OK" and a
// body of exactly one character within the first 512 bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "report/protocol.hpp"
#include "status/statuslog.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const char> received(reinterpret_cast<const char*>(data), size);
    const std::uint16_t outcome = classifyReportResponse(received);
    if (outcome == messageServiceUnavailable) return 0;
    constexpr std::uint16_t statuses[] = {messageSentSuccessfully,   messageWrongLogin,    messageBadQuery,
                                          messageAuthorizationError, messageWrongPassword, messageSavingError,
                                          messageDownloadNewVersion};
    bool known = false;
    for (const std::uint16_t status : statuses) known = known || status == outcome;
    std::string_view seen(received.data(), size < responseCapacity ? size : responseCapacity);
    seen = seen.substr(0, seen.find('\0') == std::string_view::npos ? seen.size() : seen.find('\0'));
    const std::size_t blank = seen.find("\r\n\r\n");
    if (!known || blank == std::string_view::npos ||
        seen.substr(0, blank).find("200 OK") == std::string_view::npos || seen.size() != blank + 5) {
        std::abort();
    }
    return 0;
}
