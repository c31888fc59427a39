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
constexpr std::size_t sourceCapacity = 144;

struct Settings {
    std::array<wchar_t, portNameCapacity> portName;  // "COM1:", a device name or a path
    std::int32_t baudRate;
    std::array<char, credentialCapacity> login;     // 8-bit text, zero-terminated
    std::array<char, credentialCapacity> password;  // 8-bit text, zero-terminated
    std::int32_t reportInterval;                    // seconds, never below 30
    std::array<char, sourceCapacity> source;  // "gpsd://HOST[:PORT]" or "tcp://HOST:PORT" as written, UTF-8;
                                              // empty: the serial port of the first line
};

// Written once by the window thread before any other thread exists.
extern Settings settings;

// Restores the built-in defaults: "COM1:", 4800 baud, no login or password, 30 s.
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

// Reads a decimal integer as _wtol does (leading white space, a sign, digits),
// saturating at the signed 32-bit range; no digits give 0.
std::int32_t readDecimalInteger(const wchar_t* text);
