// The serial port's failure record and diagnostic line for both systems.
#include "platform/serial_failure.hpp"

#include "platform/diagnostics.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

thread_local PortFailureRecord lastFailure{PortFailure::none, 0, 0};

}  // namespace

bool noteFailure(PortFailure step, PortError error, std::int32_t rate) {
    lastFailure = {step, error, rate};
    return false;
}

PortFailureRecord lastPortFailure() {
    return lastFailure;
}

void reportPortFailure(const PortFailureRecord& failure, std::string_view subject,
                       std::string_view errorText) {
    std::array<char, 48> rateText;  // "the driver does not take " and a 32-bit rate
    std::string_view reason = "unknown";
    switch (failure.step) {
        case PortFailure::none:
            break;
        case PortFailure::name:
            reason = "not a device name";
            break;
        case PortFailure::busy:
            reason = "in use by another program";
            break;
        case PortFailure::open:
        case PortFailure::state:
        case PortFailure::setState:
            reason = errorText;
            break;
        case PortFailure::rate:
        case PortFailure::rateRefused: {
            const char* format = failure.step == PortFailure::rate ? "baud rate %d is not valid"
                                                                   : "the driver does not take %d baud";
            const int length = std::snprintf(rateText.data(), rateText.size(), format, failure.rate);
            reason = std::string_view(rateText.data(), static_cast<std::size_t>(std::max(length, 0)));
            break;
        }
    }
    const bool configuring = failure.step == PortFailure::rate || failure.step == PortFailure::setState ||
                             failure.step == PortFailure::rateRefused;
    reportFailure(configuring ? "cannot configure GPS port" : "cannot open GPS port", subject, reason);
}
