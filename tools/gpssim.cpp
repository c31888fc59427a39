// wayloom-gpssim: a simulated GPS receiver on a pseudo-terminal.
//
// It creates a pseudo-terminal, prints the path of its device (the side a
// program opens as its serial port) and writes NMEA 0183 to it paced like a
// receiver on a real line: 10 bits per byte at the given baud rate, one burst
// of sentences per fix. The sentences come from a generated track (a start
// position moving at a constant speed and heading, or a route of waypoints
// driven at a constant speed) or from a file replayed.
// Options make it report no fix for a while, fall silent, or be unplugged and
// plugged in again under the same link path. It can also serve the same
// stream to TCP clients, as a network NMEA source does.
//
// Divisions: options; the output line (queue and pacing); the
// pseudo-terminal; the TCP server; the generated track and its sentences;
// the route; replay of a file; the main loop.
//
// Like a UART, the line sends to nobody while no program has the device open:
// those bytes are lost, so a program that opens the port gets only what is sent
// from then on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "app/commandline.hpp"

namespace {

// ---- options ------------------------------------------------------------------------

constexpr double never = -1.0;               // an option's time that does not apply
constexpr std::size_t routeCapacity = 1000;  // waypoints of a --route

struct Waypoint {
    double latitude, longitude;  // decimal degrees, south and west negative
};

struct Options {
    long baudRate = 4800;
    double fixRate = 1.0;  // fixes per second
    const char* linkPath = nullptr;
    const char* replayPath = nullptr;
    bool loop = false;
    double latitude = 48.1173;   // decimal degrees, south negative
    double longitude = 11.5167;  // decimal degrees, west negative
    double speedKnots = 10.0;
    double headingDegrees = 90.0;
    double invalidFor = 0.0;  // seconds without a fix at the start
    double silentAfter = never;
    double silentFor = never;  // never: silent to the end
    double unplugAfter = never;
    double unplugFor = 5.0;
    double duration = never;  // never: until interrupted
    long tcpPort = 0;         // 0: no TCP server
    const char* tcpAddress = "127.0.0.1";
    std::array<Waypoint, routeCapacity> route{};
    std::size_t routePoints = 0;  // 0: no route, the straight track
};

constexpr char usageText[] =
    "Usage: wayloom-gpssim [OPTION]...\n"
    "A simulated GPS receiver: creates a pseudo-terminal, prints the path of its\n"
    "device on standard output (one line; a new line after each plugging in) and\n"
    "writes NMEA 0183 to it, paced like a receiver at the given baud rate.\n"
    "\n"
    "Output\n"
    "  --baud N           line speed in bits per second, 10 bits per byte (default 4800)\n"
    "  --rate HZ          fixes per second, 0.1 to 50 (default 1)\n"
    "  --link PATH        also make PATH a symbolic link to the device, kept\n"
    "                     pointing at it across unplugging; removed on exit\n"
    "  --tcp PORT         also send the stream to every client connected to TCP\n"
    "                     PORT (at most 8 at a time); while unplugged the port is\n"
    "                     closed and its clients are disconnected\n"
    "  --tcp-listen ADDR  the IPv4 or IPv6 address of that port (default 127.0.0.1)\n"
    "\n"
    "Generated track (the default): per fix GGA, GSA, RMC and VTG; 3 GSV every\n"
    "5th fix, GLL and ZDA every 5th fix from the 3rd, with valid checksums and the\n"
    "current UTC time. A fix that finds the line still busy with the last one is\n"
    "not sent, as on a receiver whose output is too long for its baud rate.\n"
    "  --lat DEG          start latitude, decimal degrees, south negative (48.1173)\n"
    "  --lon DEG          start longitude, decimal degrees, west negative (11.5167)\n"
    "  --speed KNOTS      speed over ground (default 10)\n"
    "  --heading DEG      course over ground, degrees from true north (default 90)\n"
    "  --invalid-for S    no fix for the first S seconds: RMC status V, GGA quality 0\n"
    "  --route POINTS     drive a route instead: waypoints \"LAT,LON LAT,LON ...\"\n"
    "                     (at least two, spaces or \";\" between them) at --speed,\n"
    "                     from the first; the course is that of the leg being\n"
    "                     driven, so it turns at each waypoint. Stops at the last\n"
    "                     waypoint (speed 0), or with --loop drives back to the\n"
    "                     first and round again\n"
    "\n"
    "Replay\n"
    "  --replay FILE      send the lines of FILE as they are instead (lines starting\n"
    "                     with '#' and empty lines are skipped); a new fix begins at\n"
    "                     each sentence whose UTC time differs from the fix before\n"
    "                     (GGA, RMC, ZDA, GNS field 1; GLL field 5), so a file of\n"
    "                     receiver output keeps its rhythm. Ends after the file\n"
    "  --loop             start the file (or the route) again at its end, for ever\n"
    "\n"
    "Faults\n"
    "  --silent-after S   send nothing from S seconds on ...\n"
    "  --silent-for S     ... for S seconds (default: to the end)\n"
    "  --unplug-after S   at S seconds close the pseudo-terminal (a program reading\n"
    "                     it sees a hang-up) and remove the link ...\n"
    "  --unplug-for S     ... then after S seconds (default 5) create a new one,\n"
    "                     print its path and point the link at it\n"
    "  --duration S       exit after S seconds\n"
    "  --help             show this help\n"
    "  --version          show the version\n"
    "\n"
    "Exit status: 0 at the end or on SIGINT/SIGTERM, 1 when the pseudo-terminal,\n"
    "the link or the TCP port cannot be made or the file cannot be read, 2 for a\n"
    "bad option.\n";

bool readNumber(const char* text, double low, double high, double& value) {
    char* end = nullptr;
    errno = 0;
    double number = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(number)) return false;
    if (number < low || number > high) return false;
    value = number;
    return true;
}

// "LAT,LON LAT,LON ...": at least two waypoints in range, separated by
// blanks or ";".
bool readRoute(const char* text, Options& options) {
    options.routePoints = 0;
    for (const char* c = text;;) {
        while (*c == ' ' || *c == ';' || *c == '\t' || *c == '\n') ++c;
        if (*c == '\0') break;
        if (options.routePoints == routeCapacity) return false;
        char* end = nullptr;
        const double latitude = std::strtod(c, &end);
        if (end == c || *end != ',') return false;
        c = end + 1;
        const double longitude = std::strtod(c, &end);
        if (end == c || !std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90.0 ||
            std::fabs(longitude) > 180.0)
            return false;
        options.route[options.routePoints++] = {latitude, longitude};
        c = end;
    }
    return options.routePoints >= 2;
}

// Reads the value of one option; false with a message when it is bad.
bool readOptionValue(std::string_view option, const char* text, Options& options) {
    struct NumberOption {
        std::string_view name;
        double Options::*field;
        double low, high;
    };
    static constexpr NumberOption numberOptions[] = {
        {"--rate", &Options::fixRate, 0.1, 50.0},
        {"--lat", &Options::latitude, -90.0, 90.0},
        {"--lon", &Options::longitude, -180.0, 180.0},
        {"--speed", &Options::speedKnots, 0.0, 9999.0},
        {"--heading", &Options::headingDegrees, -360.0, 720.0},
        {"--invalid-for", &Options::invalidFor, 0.0, 1e9},
        {"--silent-after", &Options::silentAfter, 0.0, 1e9},
        {"--silent-for", &Options::silentFor, 0.0, 1e9},
        {"--unplug-after", &Options::unplugAfter, 0.0, 1e9},
        {"--unplug-for", &Options::unplugFor, 0.0, 1e9},
        {"--duration", &Options::duration, 0.0, 1e9},
    };
    if (option == "--baud") {
        double rate = 0;
        if (!readNumber(text, 50, 4000000, rate) || rate != std::floor(rate)) return false;
        options.baudRate = static_cast<long>(rate);
        return true;
    }
    if (option == "--link") {
        options.linkPath = text;
        return *text != '\0';
    }
    if (option == "--tcp") {
        double port = 0;
        if (!readNumber(text, 1, 65535, port) || port != std::floor(port)) return false;
        options.tcpPort = static_cast<long>(port);
        return true;
    }
    if (option == "--tcp-listen") {
        options.tcpAddress = text;
        return *text != '\0';
    }
    if (option == "--replay") {
        options.replayPath = text;
        return *text != '\0';
    }
    if (option == "--route") return readRoute(text, options);
    for (const NumberOption& number : numberOptions) {
        if (option == number.name) return readNumber(text, number.low, number.high, options.*number.field);
    }
    return false;
}

enum class ParseResult { run, help, bad };

ParseResult parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") return ParseResult::help;
        if (argument == "--loop") {
            options.loop = true;
            continue;
        }
        // "--option value" or "--option=value"
        const char* given = argv[i];
        std::string_view option = argument;
        const char* value = nullptr;
        if (std::size_t equals = argument.find('='); equals != std::string_view::npos) {
            option = argument.substr(0, equals);
            value = argv[i] + equals + 1;
        } else if (i + 1 < argc) {
            value = argv[++i];
        }
        if (value == nullptr || !readOptionValue(option, value, options)) {
            std::fprintf(stderr, "wayloom-gpssim: bad option or value: %s\n", given);
            return ParseResult::bad;
        }
    }
    return ParseResult::run;
}

// ---- the output line --------------------------------------------------------------

constexpr std::size_t queueCapacity = 8192;  // several bursts; a burst is under 700 bytes
constexpr double pacingTick = 0.01;          // seconds between writes while the line is busy

// The bytes waiting to go out, sent one every 10 / baud seconds.
struct OutputLine {
    std::array<char, queueCapacity> bytes;
    std::size_t head;     // index of the next byte to send
    std::size_t count;    // bytes waiting
    double nextByteDone;  // when the next byte will have been sent, seconds since the start
};

std::size_t lineRoom(const OutputLine& line) {
    return queueCapacity - line.count;
}

// Queues text if it fits whole; false when it does not.
bool queueText(OutputLine& line, std::string_view text, double now, double byteSeconds) {
    if (text.size() > lineRoom(line)) return false;
    if (line.count == 0 && line.nextByteDone < now + byteSeconds) line.nextByteDone = now + byteSeconds;
    for (char c : text) line.bytes[(line.head + line.count++) % queueCapacity] = c;
    return true;
}

// ---- the pseudo-terminal ---------------------------------------------------------------

struct Terminal {
    int master;                                 // -1 while unplugged
    std::array<char, 128> devicePath;           // the device a program opens
    std::array<char, 4096 + 32> temporaryLink;  // the link is made here, then renamed
};

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int) {
    stopSignal = 1;
}

bool createTerminal(Terminal& terminal) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) return false;
    termios line{};
    // Raw, so the device passes bytes as they are and never echoes them back.
    // On a pseudo-terminal the master's settings are those of the device.
    const char* device = nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || tcgetattr(master, &line) != 0 ||
        (device = ptsname(master)) == nullptr || std::strlen(device) >= terminal.devicePath.size()) {
        close(master);
        return false;
    }
    cfmakeraw(&line);
    cfsetispeed(&line, B4800);
    cfsetospeed(&line, B4800);
    std::strcpy(terminal.devicePath.data(), device);
    // Opened and closed once, the master sees a hang-up until a program opens
    // the device: that is how the line knows nobody listens.
    int deviceFd = open(device, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tcsetattr(master, TCSANOW, &line) != 0 || deviceFd < 0) {
        if (deviceFd >= 0) close(deviceFd);
        close(master);
        return false;
    }
    close(deviceFd);
    terminal.master = master;
    return true;
}

bool isSymbolicLinkOrAbsent(const char* path) {
    struct stat status {};
    if (lstat(path, &status) != 0) return errno == ENOENT;
    return S_ISLNK(status.st_mode);
}

// Points the link at the device in one step (a reader never finds it missing
// or half made). Refuses to replace anything but a symbolic link.
bool makeLink(Terminal& terminal, const char* linkPath) {
    if (!isSymbolicLinkOrAbsent(linkPath)) {
        std::fprintf(stderr, "wayloom-gpssim: %s exists and is not a symbolic link\n", linkPath);
        return false;
    }
    int length = std::snprintf(terminal.temporaryLink.data(), terminal.temporaryLink.size(), "%s.gpssim-%ld",
                               linkPath, static_cast<long>(getpid()));
    if (length < 0 || static_cast<std::size_t>(length) >= terminal.temporaryLink.size()) return false;
    unlink(terminal.temporaryLink.data());
    if (symlink(terminal.devicePath.data(), terminal.temporaryLink.data()) != 0) return false;
    if (rename(terminal.temporaryLink.data(), linkPath) != 0) {
        unlink(terminal.temporaryLink.data());
        return false;
    }
    return true;
}

// Removes the link if it still points at this terminal's device.
void removeLink(const Terminal& terminal, const char* linkPath) {
    std::array<char, 4096> target{};
    ssize_t length = readlink(linkPath, target.data(), target.size() - 1);
    if (length > 0 && std::strcmp(target.data(), terminal.devicePath.data()) == 0) unlink(linkPath);
}

// ---- the TCP server ------------------------------------------------------------------

constexpr std::size_t tcpClientCapacity = 8;

struct TcpServer {
    int listener;                                // -1 while closed
    std::array<int, tcpClientCapacity> clients;  // -1 for a free place
};

TcpServer tcpServer{-1, {-1, -1, -1, -1, -1, -1, -1, -1}};

bool openTcpServer(const Options& options) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, options.tcpAddress, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(options.tcpPort));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, options.tcpAddress, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(options.tcpPort));
        length = sizeof *v6;
    } else {
        errno = EINVAL;
        return false;
    }
    int listener = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(listener, 8) != 0) {
        if (listener >= 0) close(listener);
        return false;
    }
    tcpServer.listener = listener;
    return true;
}

void closeTcpServer() {
    for (int& client : tcpServer.clients) {
        if (client >= 0) close(client);
        client = -1;
    }
    if (tcpServer.listener >= 0) close(tcpServer.listener);
    tcpServer.listener = -1;
}

// Takes every client that is waiting; one beyond the free places is closed.
void acceptTcpClients() {
    if (tcpServer.listener < 0) return;
    for (;;) {
        int client = accept4(tcpServer.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) return;
        int* place = std::find(tcpServer.clients.begin(), tcpServer.clients.end(), -1);
        if (place == tcpServer.clients.end()) {
            close(client);
        } else {
            *place = client;
        }
    }
}

// Sends bytes to every client; a client that is gone is closed, and bytes that
// find a client's buffer full are lost to it, as on a busy line.
void sendToTcpClients(const char* bytes, std::size_t count) {
    for (int& client : tcpServer.clients) {
        if (client < 0) continue;
        if (send(client, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN &&
            errno != EINTR) {
            close(client);
            client = -1;
        }
    }
}

bool plugIn(Terminal& terminal, const Options& options) {
    if (!createTerminal(terminal)) {
        std::fprintf(stderr, "wayloom-gpssim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    if (options.linkPath != nullptr && !makeLink(terminal, options.linkPath)) {
        std::fprintf(stderr, "wayloom-gpssim: cannot make the link %s: %s\n", options.linkPath,
                     std::strerror(errno));
        close(terminal.master);
        terminal.master = -1;
        return false;
    }
    if (options.tcpPort != 0 && !openTcpServer(options)) {
        std::fprintf(stderr, "wayloom-gpssim: cannot listen on %s port %ld: %s\n", options.tcpAddress,
                     options.tcpPort, std::strerror(errno));
        if (options.linkPath != nullptr) removeLink(terminal, options.linkPath);
        close(terminal.master);
        terminal.master = -1;
        return false;
    }
    std::printf("%s\n", terminal.devicePath.data());
    std::fflush(stdout);
    return true;
}

void unplug(Terminal& terminal, const Options& options) {
    closeTcpServer();
    if (terminal.master < 0) return;
    if (options.linkPath != nullptr) removeLink(terminal, options.linkPath);
    close(terminal.master);
    terminal.master = -1;
}

bool someoneListens(const Terminal& terminal) {
    pollfd state{terminal.master, POLLOUT, 0};
    return poll(&state, 1, 0) >= 0 && (state.revents & POLLHUP) == 0;
}

// Sends the bytes whose time has come. Bytes nobody reads, or that find the
// device's buffer full, are lost as on a real line.
void sendDueBytes(OutputLine& line, const Terminal& terminal, double now, double byteSeconds) {
    if (line.count == 0 || now < line.nextByteDone) return;
    std::size_t due = static_cast<std::size_t>((now - line.nextByteDone) / byteSeconds) + 1;
    if (due > line.count) due = line.count;
    bool listening = terminal.master >= 0 && someoneListens(terminal);
    std::size_t sent = 0;
    while (sent < due) {
        std::size_t piece = std::min(due - sent, queueCapacity - line.head);
        if (listening && write(terminal.master, line.bytes.data() + line.head, piece) < 0 &&
            errno != EAGAIN) {
            listening = false;
        }
        sendToTcpClients(line.bytes.data() + line.head, piece);
        line.head = (line.head + piece) % queueCapacity;
        line.count -= piece;
        sent += piece;
    }
    line.nextByteDone += static_cast<double>(due) * byteSeconds;
}

// ---- the generated track -------------------------------------------------------------

constexpr double kilometresPerNauticalMile = 1.852;
constexpr double degreesToRadians = 3.14159265358979323846 / 180.0;

struct Track {
    double latitude, longitude;  // decimal degrees
    double heading;              // degrees from true north, 0 to 360
    double speedKnots;           // 0 at the end of a route
};

struct Satellite {
    int prn, elevation, azimuth, snr;
};

// The sky the receiver sees; azimuths turn slowly with time.
constexpr Satellite sky[] = {
    {4, 77, 123, 42},  {5, 45, 289, 40}, {9, 23, 52, 38},  {12, 61, 321, 44}, {17, 8, 190, 24},
    {21, 34, 231, 36}, {24, 15, 88, 31}, {25, 52, 12, 41}, {29, 4, 300, 0},   {31, 19, 160, 33},
};
constexpr int satellitesUsed = 8;  // the first eight in the sky above 5 degrees

// Moves the track by the distance run in seconds along its heading. Over a
// pole the track comes down the other side.
void advanceTrack(Track& track, double speedKnots, double seconds) {
    double nauticalMiles = speedKnots * seconds / 3600.0;
    double heading = track.heading * degreesToRadians;
    track.latitude += nauticalMiles * std::cos(heading) / 60.0;
    if (std::fabs(track.latitude) > 90.0) {
        track.latitude = std::copysign(180.0, track.latitude) - track.latitude;
        track.longitude += 180.0;
        track.heading = std::fmod(540.0 - track.heading, 360.0);
    }
    double parallel = std::max(std::cos(track.latitude * degreesToRadians), 1e-6);
    track.longitude += nauticalMiles * std::sin(heading) / (60.0 * parallel);
    track.longitude = std::remainder(track.longitude, 360.0);  // -180 to 180
}

// ---- the route --------------------------------------------------------------------------

constexpr double earthRadiusMetres = 6371008.8;  // the mean radius
constexpr double metresPerNauticalMile = 1852.0;

// Where a route's driving has got to: metres along leg number leg (from
// waypoint leg to the next, or with --loop from the last back to the first).
struct RouteProgress {
    std::size_t leg;
    double along;
    bool finished;
};

double legMetres(const Waypoint& from, const Waypoint& to) {
    const double halfPhi = std::sin((to.latitude - from.latitude) * degreesToRadians / 2.0);
    const double halfLambda = std::sin((to.longitude - from.longitude) * degreesToRadians / 2.0);
    const double h = halfPhi * halfPhi + std::cos(from.latitude * degreesToRadians) *
                                             std::cos(to.latitude * degreesToRadians) * halfLambda *
                                             halfLambda;
    return 2.0 * earthRadiusMetres * std::asin(std::sqrt(std::min(h, 1.0)));
}

// The initial great-circle bearing from one waypoint to the next, 0 to 360.
double legBearing(const Waypoint& from, const Waypoint& to) {
    const double phi1 = from.latitude * degreesToRadians;
    const double phi2 = to.latitude * degreesToRadians;
    const double lambda = (to.longitude - from.longitude) * degreesToRadians;
    const double y = std::sin(lambda) * std::cos(phi2);
    const double x = std::cos(phi1) * std::sin(phi2) - std::sin(phi1) * std::cos(phi2) * std::cos(lambda);
    return std::fmod(std::atan2(y, x) / degreesToRadians + 360.0, 360.0);
}

// Drives on for seconds at the options' speed and puts the track where that
// leads: on the leg between its waypoints (a straight line in degrees, which
// for legs of a few kilometres lies within a metre of the great circle),
// heading along it. Waypoints that repeat are passed over.
void advanceRoute(RouteProgress& progress, Track& track, const Options& options, double seconds) {
    const std::size_t legs = options.loop ? options.routePoints : options.routePoints - 1;
    double metres = options.speedKnots * metresPerNauticalMile * seconds / 3600.0;
    const Waypoint* from = &options.route[0];
    const Waypoint* to = &options.route[1];
    // Each round of the route is longer than 0 (readRoute), so this ends.
    while (!progress.finished) {
        from = &options.route[progress.leg];
        to = &options.route[(progress.leg + 1) % options.routePoints];
        const double length = legMetres(*from, *to);
        if (progress.along + metres < length) {
            progress.along += metres;
            break;
        }
        metres -= length - progress.along;
        progress.along = 0.0;
        progress.leg = (progress.leg + 1) % options.routePoints;
        if (progress.leg == legs) progress.finished = true;
    }
    if (progress.finished) {
        track.latitude = options.route[options.routePoints - 1].latitude;
        track.longitude = options.route[options.routePoints - 1].longitude;
        track.speedKnots = 0.0;
        return;
    }
    const double length = legMetres(*from, *to);
    const double share = length > 0.0 ? progress.along / length : 0.0;
    track.latitude = from->latitude + (to->latitude - from->latitude) * share;
    track.longitude = from->longitude + (to->longitude - from->longitude) * share;
    if (length > 0.0) track.heading = legBearing(*from, *to);
}

// Adds "*hh" (the XOR of the characters between "$" and "*") and CR LF.
bool queueSentence(OutputLine& line, const char* body, double now, double byteSeconds) {
    unsigned checksum = 0;
    for (const char* c = body + 1; *c != '\0'; ++c) checksum ^= static_cast<unsigned char>(*c);
    std::array<char, 160> sentence{};
    int length = std::snprintf(sentence.data(), sentence.size(), "%s*%02X\r\n", body, checksum);
    if (length < 0 || static_cast<std::size_t>(length) >= sentence.size()) return false;
    return queueText(line, std::string_view(sentence.data(), static_cast<std::size_t>(length)), now,
                     byteSeconds);
}

// "ddmm.mmmm,N" or "dddmm.mmmm,E" from decimal degrees, rounded in minutes.
void formatCoordinate(std::array<char, 64>& text, double degrees, int degreeDigits, char positive,
                      char negative) {
    long long units = std::llround(std::fabs(degrees) * 60.0 * 10000.0);  // 1/10000 minute
    long long whole = units / 600000;
    long long minutes = units % 600000;
    std::snprintf(text.data(), text.size(), "%0*lld%02lld.%04lld,%c", degreeDigits, whole, minutes / 10000,
                  minutes % 10000, degrees < 0 ? negative : positive);
}

struct FixTime {
    std::array<char, 16> time;  // hhmmss.ss
    int day, month, year;
};

FixTime fixTimeOf(std::chrono::system_clock::time_point when) {
    FixTime fix{};
    auto centiseconds =
        std::chrono::duration_cast<std::chrono::duration<long long, std::centi>>(when.time_since_epoch())
            .count();
    std::time_t seconds = static_cast<std::time_t>(centiseconds / 100);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::snprintf(fix.time.data(), fix.time.size(), "%02d%02d%02d.%02lld", utc.tm_hour, utc.tm_min,
                  utc.tm_sec, centiseconds % 100);
    fix.day = utc.tm_mday;
    fix.month = utc.tm_mon + 1;
    fix.year = utc.tm_year + 1900;
    return fix;
}

// One fix's burst of sentences into the empty line.
void queueGeneratedFix(OutputLine& line, const Track& track, long fixIndex, const FixTime& when, bool hasFix,
                       double now, double byteSeconds) {
    std::array<char, 160> body{};
    std::array<char, 64> latitude{}, longitude{};
    formatCoordinate(latitude, track.latitude, 2, 'N', 'S');
    formatCoordinate(longitude, track.longitude, 3, 'E', 'W');
    const char* time = when.time.data();
    double course = hasFix ? track.heading : 0.0;
    auto queue = [&](int length) {
        if (length > 0 && static_cast<std::size_t>(length) < body.size())
            queueSentence(line, body.data(), now, byteSeconds);
    };

    if (hasFix) {
        queue(std::snprintf(body.data(), body.size(), "$GPGGA,%s,%s,%s,1,%02d,0.9,545.4,M,46.9,M,,", time,
                            latitude.data(), longitude.data(), satellitesUsed));
        // Twelve fields of satellites used, the first ones filled.
        std::array<char, 64> used{};
        std::size_t at = 0;
        for (int i = 0; i < 12; ++i) {
            int length = i < satellitesUsed
                             ? std::snprintf(used.data() + at, used.size() - at, "%02d,", sky[i].prn)
                             : std::snprintf(used.data() + at, used.size() - at, ",");
            at += static_cast<std::size_t>(length);
        }
        queue(std::snprintf(body.data(), body.size(), "$GPGSA,A,3,%s1.7,0.9,1.4", used.data()));
    } else {
        queue(std::snprintf(body.data(), body.size(), "$GPGGA,%s,,,,,0,00,99.9,,,,,,", time));
        queue(std::snprintf(body.data(), body.size(), "$GPGSA,A,1,%s",
                            ",,,,,,,,,,,,,,"));  // 12 satellites, 3 DOPs
    }
    if (fixIndex % 5 == 0) {
        constexpr int inView = static_cast<int>(std::size(sky));
        constexpr int messages = (inView + 3) / 4;
        for (int message = 0; message < messages; ++message) {
            int length =
                std::snprintf(body.data(), body.size(), "$GPGSV,%d,%d,%02d", messages, message + 1, inView);
            for (int k = message * 4; k < std::min(inView, message * 4 + 4) && length > 0 &&
                                      static_cast<std::size_t>(length) < body.size();
                 ++k) {
                const Satellite& s = sky[k];
                int azimuth = (s.azimuth + static_cast<int>(now / 120.0)) % 360;
                int snr = s.snr == 0 ? 0 : s.snr + static_cast<int>((fixIndex / 5 + s.prn) % 5) - 2;
                length += std::snprintf(body.data() + length, body.size() - static_cast<std::size_t>(length),
                                        snr == 0 ? ",%02d,%02d,%03d," : ",%02d,%02d,%03d,%02d", s.prn,
                                        s.elevation, azimuth, snr);
            }
            queue(length);
        }
    }
    std::array<char, 8> date{};
    std::snprintf(date.data(), date.size(), "%02d%02d%02d", when.day, when.month, when.year % 100);
    double knots = track.speedKnots;
    if (hasFix) {
        queue(std::snprintf(body.data(), body.size(), "$GPRMC,%s,A,%s,%s,%.1f,%.1f,%s,,,A", time,
                            latitude.data(), longitude.data(), knots, course, date.data()));
        queue(std::snprintf(body.data(), body.size(), "$GPVTG,%.1f,T,,M,%.1f,N,%.1f,K,A", course, knots,
                            knots * kilometresPerNauticalMile));
    } else {
        queue(std::snprintf(body.data(), body.size(), "$GPRMC,%s,V,,,,,,,%s,,,N", time, date.data()));
        queue(std::snprintf(body.data(), body.size(), "$GPVTG,,T,,M,,N,,K,N"));
    }
    if (fixIndex % 5 == 2) {
        if (hasFix) {
            queue(std::snprintf(body.data(), body.size(), "$GPGLL,%s,%s,%s,A,A", latitude.data(),
                                longitude.data(), time));
        } else {
            queue(std::snprintf(body.data(), body.size(), "$GPGLL,,,,,%s,V,N", time));
        }
        queue(std::snprintf(body.data(), body.size(), "$GPZDA,%s,%02d,%02d,%04d,00,00", time, when.day,
                            when.month, when.year));
    }
}

// ---- replay of a file ------------------------------------------------------------------

constexpr std::size_t replayLineCapacity = 1024;  // longer lines are sent in pieces

struct Replay {
    std::FILE* file;
    std::array<char, replayLineCapacity> line;
    std::size_t length;
    bool held;                     // line is read and waits to be sent
    bool fixOpen;                  // the lines of the current fix are being sent
    std::array<char, 16> fixTime;  // UTC time of the current fix, empty before one is seen
    bool finished;                 // the file ended (without --loop)
    bool sentAny;                  // some line of the file was sent (a loop needs one)
};

// The UTC time field of a sentence, or an empty view when it has none.
std::string_view timeField(std::string_view line) {
    if (line.size() < 7 || line[0] != '$') return {};
    std::string_view type = line.substr(3, 3);
    int field = 0;
    if (type == "GGA" || type == "RMC" || type == "ZDA" || type == "GNS") {
        field = 1;
    } else if (type == "GLL") {
        field = 5;
    } else {
        return {};
    }
    for (int i = 0; i < field; ++i) {
        std::size_t comma = line.find(',');
        if (comma == std::string_view::npos) return {};
        line.remove_prefix(comma + 1);
    }
    std::string_view value = line.substr(0, line.find_first_of(",*\r\n"));
    return value.size() < 16 ? value : std::string_view{};
}

// Reads the next line to send; false at the end of the file.
bool readReplayLine(Replay& replay, bool loop) {
    for (;;) {
        if (std::fgets(replay.line.data(), static_cast<int>(replay.line.size()), replay.file) == nullptr) {
            if (!loop || !replay.sentAny) return false;
            std::rewind(replay.file);
            continue;
        }
        replay.length = std::strlen(replay.line.data());
        char first = replay.line[0];
        if (first == '#' || first == '\n' || first == '\r' || replay.length == 0) continue;
        return true;
    }
}

// Queues the lines of the current fix while the line has room. A fix ends
// before a sentence whose time differs from the fix's.
void queueReplayedLines(Replay& replay, OutputLine& line, const Options& options, bool sending, double now,
                        double byteSeconds) {
    while (replay.fixOpen) {
        if (!replay.held) {
            if (!readReplayLine(replay, options.loop)) {
                replay.fixOpen = false;
                replay.finished = true;
                return;
            }
            replay.held = true;
        }
        std::string_view text(replay.line.data(), replay.length);
        std::string_view time = timeField(text);
        if (!time.empty()) {
            if (replay.fixTime[0] != '\0' && time != replay.fixTime.data()) {
                replay.fixOpen = false;  // this line begins the next fix
                return;
            }
            std::memcpy(replay.fixTime.data(), time.data(), time.size());
            replay.fixTime[time.size()] = '\0';
        }
        if (sending && !queueText(line, text, now, byteSeconds)) return;  // wait for room
        replay.held = false;
        replay.sentAny = true;
    }
}

// ---- the main loop ---------------------------------------------------------------------

struct Simulation {
    Options options;
    Terminal terminal;
    OutputLine line;
    Track track;
    RouteProgress route;
    Replay replay;
    std::chrono::steady_clock::time_point start;
    std::chrono::system_clock::time_point startUtc;
    double nextFix;    // seconds since the start
    double trackTime;  // the time the track's position is for
    long fixIndex;
    bool unplugged;
};

double secondsSinceStart(const Simulation& simulation) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - simulation.start).count();
}

bool within(double now, double from, double length) {
    return from != never && now >= from && (length == never || now < from + length);
}

// Unplugs and plugs in again when their times come; false when plugging in fails.
bool followPlugging(Simulation& simulation, double now) {
    const Options& options = simulation.options;
    bool away = within(now, options.unplugAfter, options.unplugFor);
    if (away && !simulation.unplugged) {
        unplug(simulation.terminal, options);
        simulation.line.count = 0;
        simulation.unplugged = true;
    } else if (!away && simulation.unplugged) {
        if (!plugIn(simulation.terminal, options)) return false;
        simulation.unplugged = false;
    }
    return true;
}

void runFix(Simulation& simulation, double now, double byteSeconds) {
    const Options& options = simulation.options;
    double period = 1.0 / options.fixRate;
    double fixStart = simulation.nextFix;
    bool sending = !simulation.unplugged && !within(fixStart, options.silentAfter, options.silentFor);
    if (options.replayPath != nullptr) {
        if (simulation.replay.fixOpen || simulation.replay.finished) return;
        simulation.replay.fixOpen = true;
        simulation.replay.fixTime[0] = '\0';
    } else {
        // The track is where the time since the start has taken it.
        if (options.routePoints > 0) {
            advanceRoute(simulation.route, simulation.track, options, fixStart - simulation.trackTime);
        } else {
            advanceTrack(simulation.track, options.speedKnots, fixStart - simulation.trackTime);
        }
        simulation.trackTime = fixStart;
        // A fix that finds the line still busy is not sent.
        if (sending && simulation.line.count == 0) {
            auto when = simulation.startUtc + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                                  std::chrono::duration<double>(fixStart));
            queueGeneratedFix(simulation.line, simulation.track, simulation.fixIndex, fixTimeOf(when),
                              fixStart >= options.invalidFor, now, byteSeconds);
        }
    }
    ++simulation.fixIndex;
    simulation.nextFix += period;
    if (simulation.nextFix < now - period) simulation.nextFix = now;  // fell behind: no catching up
}

double nextWake(const Simulation& simulation, double now, double byteSeconds) {
    const Options& options = simulation.options;
    bool fixesRun = !simulation.replay.fixOpen && !simulation.replay.finished;
    double wake = fixesRun ? simulation.nextFix : now + 3600.0;
    if (simulation.line.count > 0)
        wake = std::min(wake, std::max(simulation.line.nextByteDone, now + pacingTick));
    if (simulation.replay.fixOpen) wake = std::min(wake, now + std::max(pacingTick, byteSeconds));
    double unplugEnd = options.unplugAfter == never ? never : options.unplugAfter + options.unplugFor;
    for (double event : {options.unplugAfter, unplugEnd, options.duration}) {
        if (event != never && event > now) wake = std::min(wake, event);
    }
    return wake;
}

void sleepUntil(const Simulation& simulation, double wake) {
    auto until = simulation.start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(wake));
    auto sinceEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
    timespec target{static_cast<std::time_t>(sinceEpoch / 1000000000),
                    static_cast<long>(sinceEpoch % 1000000000)};
    // steady_clock is CLOCK_MONOTONIC; a signal ends the sleep early.
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr);
}

int simulate(Simulation& simulation) {
    const Options& options = simulation.options;
    const double byteSeconds = 10.0 / static_cast<double>(options.baudRate);
    double finishedAt = never;
    while (stopSignal == 0) {
        double now = secondsSinceStart(simulation);
        if (options.duration != never && now >= options.duration) break;
        if (!followPlugging(simulation, now)) return 1;
        acceptTcpClients();
        while (now >= simulation.nextFix && !(simulation.replay.fixOpen || simulation.replay.finished)) {
            runFix(simulation, now, byteSeconds);
        }
        if (options.replayPath != nullptr) {
            bool sending = !simulation.unplugged && !within(now, options.silentAfter, options.silentFor);
            queueReplayedLines(simulation.replay, simulation.line, options, sending, now, byteSeconds);
        }
        sendDueBytes(simulation.line, simulation.terminal, now, byteSeconds);
        // At the end of a file, the last bytes get a second to be read.
        if (simulation.replay.finished && simulation.line.count == 0) {
            if (finishedAt == never) finishedAt = now;
            if (now >= finishedAt + 1.0) break;
        }
        double wake = nextWake(simulation, now, byteSeconds);
        if (finishedAt != never) wake = std::min(wake, finishedAt + 1.0);
        sleepUntil(simulation, wake);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (printVersionIfAsked(argc, argv, "wayloom-gpssim")) return 0;
    static Simulation simulation{};
    simulation.terminal.master = -1;
    switch (parseOptions(argc, argv, simulation.options)) {
        case ParseResult::help:
            std::fputs(usageText, stdout);
            return 0;
        case ParseResult::bad:
            std::fputs("Try 'wayloom-gpssim --help'.\n", stderr);
            return 2;
        case ParseResult::run:
            break;
    }
    Options& options = simulation.options;
    double routeMetres = 0.0;
    for (std::size_t i = 1; i < options.routePoints; ++i)
        routeMetres += legMetres(options.route[i - 1], options.route[i]);
    if (options.routePoints > 0 && routeMetres == 0.0) {
        std::fputs("wayloom-gpssim: the route goes nowhere\nTry 'wayloom-gpssim --help'.\n", stderr);
        return 2;
    }
    if (options.replayPath != nullptr) {
        simulation.replay.file = std::fopen(options.replayPath, "rb");
        if (simulation.replay.file == nullptr) {
            std::fprintf(stderr, "wayloom-gpssim: cannot read %s: %s\n", options.replayPath,
                         std::strerror(errno));
            return 1;
        }
    }
    // The first fix comes one period after the start, as from a receiver just
    // switched on, so a program started together with the simulator gets it.
    simulation.nextFix = 1.0 / options.fixRate;
    simulation.track = {options.latitude, options.longitude, std::fmod(options.headingDegrees + 720.0, 360.0),
                        options.speedKnots};
    if (options.routePoints > 0) advanceRoute(simulation.route, simulation.track, options, 0.0);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGHUP, onStopSignal);
    simulation.start = std::chrono::steady_clock::now();
    simulation.startUtc = std::chrono::system_clock::now();
    if (!plugIn(simulation.terminal, options)) return 1;
    int status = simulate(simulation);
    unplug(simulation.terminal, options);
    if (simulation.replay.file != nullptr) std::fclose(simulation.replay.file);
    return status;
}
