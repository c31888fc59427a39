// Feeds arbitrary bytes to the server's request reader and report form, as a
// client could send them. Beyond the sanitizers, it checks that a complete
// head ends within the bytes, that a report answered "1" has coordinates in
// range and finite numbers, and that no answer is outside the table.
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
    ReportForm form;
    const char answer = readReportForm(body, form);
    if (answer == answer::stored) {
        if (!std::isfinite(form.lat) || !std::isfinite(form.lon) || !std::isfinite(form.speedKnots) ||
            std::fabs(form.lat) > 90 || std::fabs(form.lon) > 180)
            std::abort();
    } else if (answer != answer::notAReport && answer != answer::wrongVersion) {
        std::abort();
    }
    return 0;
}
