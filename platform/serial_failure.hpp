// The last failure of the serial port calls on this thread, and the
// diagnostic line that names it, the same on Linux and Windows. Each system's
// port module records its failures here and supplies the system's own text
// for an error number.
#pragma once

#include <cstdint>
#include <string_view>

enum class PortFailure : std::uint8_t { none, name, open, busy, state, rate, setState, rateRefused };

#ifdef _WIN32
using PortError = unsigned long;  // GetLastError()
#else
using PortError = int;  // errno
#endif

struct PortFailureRecord {
    PortFailure step;
    PortError error;    // for open, state and setState
    std::int32_t rate;  // for rate and rateRefused
};

// Records the failure for this thread only: the report cycle's opening and
// the reader's silent reopening never see each other's. Always false, so a
// failing call can return it.
bool noteFailure(PortFailure step, PortError error, std::int32_t rate = 0);

// This thread's last recorded failure; step none when there was none.
PortFailureRecord lastPortFailure();

// The diagnostic line for failure of the port at subject (its device path or
// a stand-in); errorText is the system's reason for failure.error.
void reportPortFailure(const PortFailureRecord& failure, std::string_view subject,
                       std::string_view errorText);
