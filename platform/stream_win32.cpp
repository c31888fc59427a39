// Network NMEA sources on Windows: not built yet. Every opening fails, so a
// "source" line gives "Can't open GPS-port!" and a diagnostic line that says
// why, and the serial port stays the way to read a receiver there.
#include "platform/stream.hpp"

#include "platform/diagnostics.hpp"

StreamHandle openStream(const char*, std::uint16_t, std::chrono::milliseconds) {
    return invalidStreamHandle;
}

bool writeStream(StreamHandle, std::span<const char>, std::chrono::milliseconds) {
    return false;
}

PortReadResult readStream(StreamHandle, std::span<char>, int) {
    return {PortReadStatus::failed, 0};
}

void closeStream(StreamHandle) {}

void reportStreamFailure(std::string_view source) {
    reportFailure("cannot open GPS source", source, "network sources are not available on Windows yet");
}
