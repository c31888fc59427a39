// --help and --version for the reporter and the tools.
#include "app/commandline.hpp"

#include <cstdio>

namespace {

#ifdef _WIN32
constexpr std::string_view reporterHelp =
    "Usage: wayloom [--headless | --install-service | --remove-service | --help | --version]\n"
    "A GPS position reporter: reads the receiver's NMEA 0183 stream and sends\n"
    "its position to the report server at a fixed interval, showing each step\n"
    "in a status log.\n"
    "\n"
    "wayloom.exe opens its window: F2 starts reporting, F1 exits. The console\n"
    "program wayloom-headless.exe (or wayloom.exe --headless) starts reporting\n"
    "at once and writes the status log to standard output; Ctrl-C ends it.\n"
    "\n"
    "The settings (port, baud rate, login, password, interval and optional\n"
    "lines) are read from settings.ini in the folder of the executable. Only\n"
    "one copy runs per user.\n"
    "\n"
    "  --headless         run without the window (the console program always does)\n"
    "  --install-service  register this program as the service Wayloom (automatic\n"
    "                     start, restarted after a failure) and start it; its\n"
    "                     status log goes to wayloom.log beside the settings\n"
    "  --remove-service   stop and remove the service\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "\n"
    "Exit status: 0, or 1 when the GPS port cannot be opened without the\n"
    "window, or a service command fails.\n";
#else
constexpr std::string_view reporterHelp =
    "Usage: wayloom [--help | --version]\n"
    "A GPS position reporter: reads the receiver's NMEA 0183 stream and sends\n"
    "its position to the report server at a fixed interval, showing each step\n"
    "in a status log.\n"
    "\n"
    "In a terminal it opens its window full screen: F2 starts reporting, F1\n"
    "exits. Without a terminal (standard input or output not a terminal, as\n"
    "under a service manager) it starts reporting at once and writes the status\n"
    "log to standard output; SIGTERM ends it.\n"
    "\n"
    "The settings (port, baud rate, login, password, interval and optional\n"
    "lines) are read from settings.ini in the folder of the executable (a link\n"
    "to the executable is followed first). The Debian package installs them as\n"
    "/etc/wayloom/settings.ini, linked from /usr/lib/wayloom/settings.ini.\n"
    "Only one copy runs per user.\n"
    "\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Other arguments are ignored. Exit status: 0, or 1 when the GPS port cannot\n"
    "be opened without a terminal.\n";
#endif

void writeOut(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

bool hasArgument(int argc, char* const* argv, std::string_view wanted) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && std::string_view(argv[i]) == wanted) return true;
    }
    return false;
}

}  // namespace

std::string_view programVersion() {
    return WAYLOOM_VERSION;
}

bool printVersionIfAsked(int argc, char* const* argv, std::string_view name) {
    if (!hasArgument(argc, argv, "--version")) return false;
    writeOut(name);
    writeOut(" ");
    writeOut(programVersion());
    writeOut("\n");
    return true;
}

bool answerReporterCommandLine(int argc, char* const* argv) {
    if (hasArgument(argc, argv, "--help")) {
        writeOut(reporterHelp);
        return true;
    }
    return printVersionIfAsked(argc, argv, "wayloom");
}
