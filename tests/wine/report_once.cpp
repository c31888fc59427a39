// One report exchange as the Windows program makes it, for the tests of
// https under Wine: loads the settings file named on the command line, sends
// the position 55.5 37.25 1.5 once and prints the status log it leaves (UTF-8,
// one line per log line), and on standard error the diagnostic lines and how
// long the exchange took.
// A second argument sets the connection's and handshake's deadline in
// milliseconds. Exits 0 when the outcome was "Sent successfully.".
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/diagnostics.hpp"
#include "platform/net.hpp"
#include "platform/output.hpp"
#include "platform/process.hpp"
#include "report/exchange.hpp"
#include "settings/settings.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fputs("usage: report_once SETTINGS-FILE [CONNECT-MS]\n", stderr);
        return 2;
    }
    if (!enableDiagnostics(standardErrorFd)) return 2;
    resetSettings();
    loadSettingsFrom(argv[1]);
    if (argc == 3) netTimeouts.connect = std::chrono::milliseconds(std::atoi(argv[2]));
    const auto start = std::chrono::steady_clock::now();
    runReportExchange(55.5, 37.25, 1.5);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    drainOutput(1000);
    std::fprintf(
        stderr, "elapsed %lld ms\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    std::array<wchar_t, controlTextCapacity> log{};
    getWindowText(statusLogControl, log);
    std::wstring_view text(log.data());
    const bool sent = text.ends_with(L"Sent successfully.");
    for (const wchar_t c : text) {
        if (c != L'\r') std::putchar(c < 0x80 ? static_cast<char>(c) : '?');
    }
    std::putchar('\n');
    return sent ? 0 : 1;
}
