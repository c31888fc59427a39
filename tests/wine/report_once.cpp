// One report exchange as the Windows program makes it, for the tests of
// https under Wine: loads the settings file named on the command line, sends
// the position 55.5 37.25 1.5 once and prints the status log it leaves (UTF-8,
// one line per log line). Exits 0 when the outcome was "Sent successfully.".
#include <array>
#include <cstdio>
#include <string_view>

#include "report/exchange.hpp"
#include "settings/settings.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: report_once SETTINGS-FILE\n", stderr);
        return 2;
    }
    resetSettings();
    loadSettingsFrom(argv[1]);
    runReportExchange(55.5, 37.25, 1.5);
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
