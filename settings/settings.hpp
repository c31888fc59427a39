// The program's settings and their loading from settings.ini beside the
// executable. The file has no keys: each setting is known by its position
// among the lines that are not comments or blank.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

constexpr std::size_t portNameCapacity = 18;        // the port line cut at 17 characters, and a terminator
constexpr std::size_t credentialCapacity = 36;      // 35 bytes and a terminator
constexpr std::size_t settingsLineCapacity = 144;   // 143 characters per read, and a terminator
constexpr std::int32_t minimumReportInterval = 30;  // seconds
// Option lines hold at most 142 characters before their LF (one piece of the
// reader), so a value never needs more than this; values are stored as UTF-8.
constexpr std::size_t sourceCapacity = 144;  // "gpsd://HOST[:PORT]" or "tcp://HOST:PORT", and a terminator
constexpr std::size_t serverHostCapacity = 144;  // the host of a server line, and a terminator
constexpr std::size_t caFilePathCapacity = 144;  // the path of a ca-file line, and a terminator
constexpr std::size_t queuePathCapacity = 144;   // the path of a queue line, and a terminator
// queue-limit: about five weeks of reports at one a minute by default; the
// largest keeps the file (96 bytes a report) under 1 GB.
constexpr std::int32_t defaultQueueLimit = 100000;
constexpr std::int32_t maximumQueueLimit = 10000000;
// report-min-interval when report-distance or report-turn is set without it.
constexpr std::int32_t defaultReportMinIntervalSeconds = 5;
// report-turn: a course can differ from another by 180 degrees at most.
constexpr std::int32_t maximumReportTurnDegrees = 180;
// Stored as the source when a source line was too long to be read whole: it
// names nothing that can be opened, so the GPS input fails to open ("Can't open
// GPS-port!") instead of reading from a cut address.
constexpr std::string_view unusableSource = "unusable:";

enum class ServerScheme : std::uint8_t { http, https };

// The report server of a "server = URL" line.
struct ServerSetting {
    bool given;   // false: http:// and the compiled-in report host, port 80
    bool usable;  // false: a line that could not be understood; no report is sent
    ServerScheme scheme;
    std::array<char, serverHostCapacity> host;  // a name or an IP address (IPv6 without brackets)
    std::uint16_t port;                         // 0 when the URL names none: 80, or 443 for https
};

struct Settings {
    std::array<wchar_t, portNameCapacity> portName;  // "COM1:", a device name or a path
    std::int32_t baudRate;
    std::array<char, credentialCapacity> login;     // 8-bit text, zero-terminated
    std::array<char, credentialCapacity> password;  // 8-bit text, zero-terminated
    std::int32_t reportInterval;                    // seconds, never below 30

    // Option lines ("name = value", from the sixth counted line on).
    ServerSetting server;                         // server = URL
    std::array<char, caFilePathCapacity> caFile;  // ca-file = PATH; empty: the system's store
    bool caFileUsable;                            // false: a ca-file line too long to be read whole
    bool anyTalker;                               // talkers = any (default GP only)
    bool unsignedPositions;                       // positions = unsigned (default signed)
    bool checksumsRequired;                       // checksums = required (default ignored)
    std::int32_t staleAfterSeconds;               // stale-after = SECONDS; 0: never
    std::array<char, sourceCapacity> source;  // "gpsd://HOST[:PORT]" or "tcp://HOST:PORT" as written, UTF-8;
                                              // empty: the serial port of the first line
    bool queueGiven;                          // queue = PATH: store and forward, and t in every report
    std::array<char, queuePathCapacity> queuePath;  // UTF-8, relative to the program's folder
                                                    // or absolute; empty: a line too long to be read
    std::int32_t queueLimit;                        // queue-limit = N: reports kept at most, 1 or more
    std::int32_t reportDistanceMetres;              // report-distance = METRES; 0: off
    std::int32_t reportTurnDegrees;                 // report-turn = DEGREES, 1 to 180; 0: off
    std::int32_t reportMinIntervalSeconds;          // report-min-interval = SECONDS, 1 or more; 0: not given
    bool extendedFields;                            // fields = extended: c, a, h and n in every report
};

// Written once by the window thread before any other thread exists.
extern Settings settings;

// The shortest time between two reports when report-distance or report-turn
// may bring one early: report-min-interval, or 5 seconds when it is not given.
std::int32_t effectiveReportMinInterval(const Settings& given);

// Restores the built-in defaults: "COM1:", 4800 baud, no login or password,
// 30 s, and every option at its default.
void resetSettings();

// Fills settings from settings.ini beside the running executable; a missing
// file leaves the defaults, silently.
void loadSettings();

// The same from a given file (UTF-8, a byte-order mark skipped).
void loadSettingsFrom(const char* path);

// The same from the bytes of a whole settings file held in memory.
void loadSettingsFromBytes(std::span<const char> bytes);

// Removes trailing spaces, CR and LF in place; leading blanks and tabs stay.
void trimLineEnd(wchar_t* text);

// Reads one option line ("name = value", spaces or tabs around the "=" and at
// either end optional) into settings; false when its name is none of the
// options, and the line is then ignored. cut says that the reader had to cut
// the line: a value that is not whole is never used as it is.
bool applyOptionLine(const wchar_t* line, bool cut);

// Reads a decimal integer as _wtol does (leading white space, a sign, digits),
// saturating at the signed 32-bit range; no digits give 0.
std::int32_t readDecimalInteger(const wchar_t* text);
