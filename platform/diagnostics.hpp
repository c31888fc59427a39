// Diagnostics for a service's journal. The status log names a failure only by
// its fixed text ("Can't open GPS-port!"); run as a service, the program also
// writes one line on standard error for such a failure, naming the path or
// host and the system's reason. Nothing is written until they are enabled,
// so the window and the tests stay as they are.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/output.hpp"

constexpr std::size_t diagnosticCapacity = 384;  // one line: what, a path of 255 bytes, the reason

// Writes later diagnostics to fd through a queue and writer of their own (see
// platform/output.hpp), so a stalled standard error never holds anyone up.
// False when the writer cannot be started.
bool enableDiagnostics(int fd);

// Writes later diagnostics into stream, whose writer already runs, among its
// own lines (a service's log file).
void enableDiagnosticsIn(OutputStream stream);

// One line "wayloom: WHAT SUBJECT: REASON" (cut to diagnosticCapacity), when
// enabled. Never given a password.
void reportFailure(std::string_view what, std::string_view subject, std::string_view reason);

// The system's text for the errno value error.
const char* systemReason(int error);
