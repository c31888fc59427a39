// Feeds arbitrary bytes to the server's request reader and report form, as a
// client could send them. Beyond the sanitizers, it checks that a complete
// head ends within the bytes, that a report answered "1" has coordinates in
// range and finite numbers and a time no later than 24 hours after its
// arrival and not before 2000, that no answer is outside the table, and that
// the client's address taken from X-Forwarded-For is always an address.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/http.hpp"
#include "server/proxy.hpp"
#include "server/reports.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    HttpRequest request;
    const HeadState state = readRequestHead(bytes, request);
    std::string_view body = bytes;
    if (state == HeadState::complete) {
        if (request.headLength > size || request.path.empty() || request.path.front() != '/') std::abort();
        body = bytes.substr(request.headLength);
        // Every address trusted: the header decides, and must give an address.
        static const std::vector<AddressRange> everyone = [] {
            std::vector<AddressRange> ranges(2);
            parseAddressRange("0.0.0.0/0", ranges[0]);
            parseAddressRange("::/0", ranges[1]);
            return ranges;
        }();
        if (!addressTrusted(forwardedClient("127.0.0.1", request, everyone), everyone)) std::abort();
    }
    AddressRange range;
    if (parseAddressRange(bytes.substr(0, 64), range) && (range.prefixBits < 0 || range.prefixBits > 128))
        std::abort();
    constexpr std::int64_t arrivalUs = 1796635200LL * 1000000;  // 2026-12-07T09:20:00Z
    ReportForm form;
    const char answer = readReportForm(body, form, arrivalUs);
    if (answer == answer::stored) {
        if (!std::isfinite(form.lat) || !std::isfinite(form.lon) || !std::isfinite(form.speedKnots) ||
            std::fabs(form.lat) > 90 || std::fabs(form.lon) > 180)
            std::abort();
        if (form.receivedUs != arrivalUs || (!form.timeSent && form.timeUs != arrivalUs) ||
            form.timeUs > arrivalUs + reportTimeAheadMaxUs || form.timeUs < reportTimeEarliestUs ||
            form.timeUs % 1000000 != 0)
            std::abort();
    } else if (answer != answer::notAReport && answer != answer::wrongVersion) {
        std::abort();
    }
    return 0;
}
