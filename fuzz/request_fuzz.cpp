// Feeds arbitrary bytes to the server's request reader and report form, as a
// client could send them. Beyond the sanitizers, it checks that a complete
// head ends within the bytes, that a report answered "1" has coordinates in
// range and finite numbers and a time no later than 5 minutes after its
// arrival and not before 2000, and that no answer is outside the table.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/http.hpp"
#include "server/reports.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    HttpRequest request;
    const HeadState state = readRequestHead(bytes, request);
    std::string_view body = bytes;
    if (state == HeadState::complete) {
        if (request.headLength > size || request.path.empty() || request.path.front() != '/') std::abort();
        body = bytes.substr(request.headLength);
    }
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
