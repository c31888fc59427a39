// Diagnostic lines on standard error, through the output queue.
#include "platform/diagnostics.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <span>

#include "platform/output.hpp"

namespace {

std::atomic<bool> diagnosticsEnabled{false};
std::atomic<OutputStream> diagnosticStream{OutputStream::standardError};

}  // namespace

bool enableDiagnostics(int fd) {
    if (!startOutputWriter(OutputStream::standardError, fd)) return false;
    diagnosticStream.store(OutputStream::standardError);
    diagnosticsEnabled.store(true);
    return true;
}

void enableDiagnosticsIn(OutputStream stream) {
    diagnosticStream.store(stream);
    diagnosticsEnabled.store(true);
}

void reportFailure(std::string_view what, std::string_view subject, std::string_view reason) {
    if (!diagnosticsEnabled.load()) return;
    std::array<char, diagnosticCapacity> line;
    std::size_t length = 0;
    for (const std::string_view part : {std::string_view("wayloom: "), what, std::string_view(" "), subject,
                                        std::string_view(": "), reason}) {
        const std::size_t count = std::min(part.size(), line.size() - 1 - length);
        std::copy_n(part.data(), count, line.data() + length);
        length += count;
    }
    // A line end inside a name or reason would split the one line.
    std::replace(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(length), '\n', ' ');
    line[length++] = '\n';
    queueOutputLine(diagnosticStream.load(), std::span<const char>(line.data(), length));
}

const char* systemReason(int error) {
    return std::strerror(error);  // the C library here keeps its buffer per thread
}
