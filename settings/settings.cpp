// The settings record and the reader of settings.ini.
//
// The file is read as UTF-8 whatever the locale, decoded here into wide
// characters and cut into pieces exactly as a wide line reader with a
// 144-character buffer delivers them: a piece ends after its LF or at 143
// characters, and every piece counts as a line of its own. The first five
// pieces that are not comments or blank are the settings, by position.
//
// Divisions: the defaults; UTF-8 decoding and encoding; the line rules
// (cut, trim, decimal integers); the piece reader; locating the file.
#include "settings/settings.hpp"

#include "platform/diagnostics.hpp"
#include "platform/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cwchar>

namespace {

constexpr std::size_t portLineCut = portNameCapacity - 1;          // 17 characters
constexpr std::size_t credentialLineCut = credentialCapacity - 1;  // 35 characters
constexpr int settingsLineCount = 5;  // port, baud rate, login, password, interval
constexpr char32_t replacementCharacter = 0xFFFD;
constexpr char32_t byteOrderMark = 0xFEFF;

constexpr Settings defaultSettings() {
    Settings defaults{};
    defaults.portName = {L'C', L'O', L'M', L'1', L':'};
    defaults.baudRate = 4800;
    defaults.reportInterval = minimumReportInterval;
    return defaults;
}

}  // namespace

Settings settings = defaultSettings();

void resetSettings() {
    settings = defaultSettings();
}

// ---- UTF-8 ----------------------------------------------------------------

namespace {

// The state of one UTF-8 sequence in progress. The allowed range of the next
// continuation byte rules out overlong forms, surrogates and values beyond
// U+10FFFF at the second byte already.
struct Utf8Decoder {
    char32_t codePoint = 0;
    int bytesNeeded = 0;  // continuation bytes still to come
    unsigned lowest = 0x80;
    unsigned highest = 0xBF;
};

using DecodedCharacters = std::array<char32_t, 2>;

// Takes one byte and writes the characters it completes into out, returning
// how many (0 to 2). A sequence that breaks off or a byte that cannot start
// one gives a single U+FFFD (one per maximal invalid part, as Unicode
// recommends), and decoding goes on with the next byte.
std::size_t decodeUtf8Byte(Utf8Decoder& decoder, unsigned byte, DecodedCharacters& out) {
    std::size_t count = 0;
    if (decoder.bytesNeeded > 0) {
        if (byte >= decoder.lowest && byte <= decoder.highest) {
            decoder.codePoint = (decoder.codePoint << 6) | (byte & 0x3Fu);
            decoder.lowest = 0x80;
            decoder.highest = 0xBF;
            if (--decoder.bytesNeeded == 0) out[count++] = decoder.codePoint;
            return count;
        }
        decoder.bytesNeeded = 0;
        out[count++] = replacementCharacter;
    }
    if (byte < 0x80) {
        out[count++] = byte;
    } else if (byte >= 0xC2 && byte <= 0xDF) {
        decoder = {byte & 0x1Fu, 1, 0x80, 0xBF};
    } else if (byte >= 0xE0 && byte <= 0xEF) {
        decoder = {byte & 0x0Fu, 2, byte == 0xE0 ? 0xA0u : 0x80u, byte == 0xED ? 0x9Fu : 0xBFu};
    } else if (byte >= 0xF0 && byte <= 0xF4) {
        decoder = {byte & 0x07u, 3, byte == 0xF0 ? 0x90u : 0x80u, byte == 0xF4 ? 0x8Fu : 0xBFu};
    } else {
        out[count++] = replacementCharacter;
    }
    return count;
}

// Writes the UTF-8 form of one wide character into out and returns its length;
// a value that is no Unicode scalar value is written as U+FFFD.
std::size_t encodeUtf8(wchar_t character, std::array<char, 4>& out) {
    auto value = static_cast<char32_t>(character);
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) value = replacementCharacter;
    auto byte = [](char32_t bits) { return static_cast<char>(static_cast<unsigned char>(bits)); };
    if (value < 0x80) {
        out[0] = byte(value);
        return 1;
    }
    if (value < 0x800) {
        out[0] = byte(0xC0 | (value >> 6));
        out[1] = byte(0x80 | (value & 0x3F));
        return 2;
    }
    if (value < 0x10000) {
        out[0] = byte(0xE0 | (value >> 12));
        out[1] = byte(0x80 | ((value >> 6) & 0x3F));
        out[2] = byte(0x80 | (value & 0x3F));
        return 3;
    }
    out[0] = byte(0xF0 | (value >> 18));
    out[1] = byte(0x80 | ((value >> 12) & 0x3F));
    out[2] = byte(0x80 | ((value >> 6) & 0x3F));
    out[3] = byte(0x80 | (value & 0x3F));
    return 4;
}

// Converts text to 8-bit characters (UTF-8) into out, as wcstombs does in a
// UTF-8 locale with a limit of out.size() bytes, except that the result is
// always terminated: conversion stops before a character whose bytes would not
// fit beside the terminator, so no character is ever cut in half.
void storeEightBit(const wchar_t* text, std::array<char, credentialCapacity>& out) {
    out.fill('\0');
    std::size_t used = 0;
    for (; *text != L'\0'; ++text) {
        std::array<char, 4> bytes;
        const std::size_t length = encodeUtf8(*text, bytes);
        if (used + length > out.size() - 1) break;
        std::copy_n(bytes.begin(), length, out.begin() + static_cast<std::ptrdiff_t>(used));
        used += length;
    }
}

}  // namespace

// ---- Line rules -----------------------------------------------------------

void trimLineEnd(wchar_t* text) {
    std::size_t length = std::wcslen(text);
    while (length > 0 &&
           (text[length - 1] == L' ' || text[length - 1] == L'\r' || text[length - 1] == L'\n')) {
        text[--length] = L'\0';
    }
}

std::int32_t readDecimalInteger(const wchar_t* text) {
    while (*text == L' ' || (*text >= L'\t' && *text <= L'\r')) ++text;
    const bool negative = *text == L'-';
    if (*text == L'-' || *text == L'+') ++text;
    // The magnitude stops growing at the range's end, so it never overflows.
    const std::int64_t limit = negative ? -std::int64_t{INT32_MIN} : std::int64_t{INT32_MAX};
    std::int64_t magnitude = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        magnitude = std::min(magnitude * 10 + (*text - L'0'), limit);
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

namespace {

using SettingsLine = std::array<wchar_t, settingsLineCapacity>;

// Puts the terminator after the first count characters; a shorter line stays.
void cutLine(SettingsLine& line, std::size_t count) {
    if (std::wcslen(line.data()) > count) line[count] = L'\0';
}

// Applies the setting line at position (0 for the first counted line).
void applySettingsLine(int position, SettingsLine& line) {
    switch (position) {
        case 0: {  // port name: cut at 17, trimmed, kept whole
            cutLine(line, portLineCut);
            trimLineEnd(line.data());
            settings.portName.fill(L'\0');
            std::copy_n(line.begin(), std::wcslen(line.data()), settings.portName.begin());
            break;
        }
        case 1:  // baud rate
            trimLineEnd(line.data());
            settings.baudRate = readDecimalInteger(line.data());
            break;
        case 2:  // login: cut at 35, trimmed, as 8-bit text
        case 3:  // password: the same
            cutLine(line, credentialLineCut);
            trimLineEnd(line.data());
            storeEightBit(line.data(), position == 2 ? settings.login : settings.password);
            break;
        case 4:  // report interval, never below 30 seconds
            trimLineEnd(line.data());
            settings.reportInterval = std::max(readDecimalInteger(line.data()), minimumReportInterval);
            break;
        default:  // a sixth line and later: read and ignored
            break;
    }
}

// ---- The piece reader -----------------------------------------------------

struct SettingsReader {
    Utf8Decoder decoder;
    SettingsLine piece{};
    std::size_t pieceLength = 0;
    int linesCounted = 0;     // pieces that were neither comment nor blank
    bool atFileStart = true;  // a byte-order mark is skipped only here
};

bool readerDone(const SettingsReader& reader) {
    return reader.linesCounted >= settingsLineCount;
}

// A piece is a comment or blank line when its first character is "#", LF or CR.
void finishPiece(SettingsReader& reader) {
    reader.piece[reader.pieceLength] = L'\0';
    reader.pieceLength = 0;
    const wchar_t first = reader.piece[0];
    if (first == L'#' || first == L'\n' || first == L'\r') return;
    applySettingsLine(reader.linesCounted++, reader.piece);
}

void takeCharacter(SettingsReader& reader, char32_t character) {
    const bool fileStart = reader.atFileStart;
    reader.atFileStart = false;
    if (fileStart && character == byteOrderMark) return;
    const auto wide = static_cast<wchar_t>(character);
    reader.piece[reader.pieceLength++] = wide;
    if (wide == L'\n' || reader.pieceLength == reader.piece.size() - 1) finishPiece(reader);
}

void feedBytes(SettingsReader& reader, std::span<const char> bytes) {
    for (const char byte : bytes) {
        DecodedCharacters characters;
        const std::size_t count =
            decodeUtf8Byte(reader.decoder, static_cast<unsigned char>(byte), characters);
        for (std::size_t i = 0; i < count; ++i) takeCharacter(reader, characters[i]);
    }
}

// The end of the file: a sequence broken off by it is one U+FFFD, and a last
// piece without LF is a line like any other.
void finishBytes(SettingsReader& reader) {
    if (reader.decoder.bytesNeeded > 0) {
        reader.decoder.bytesNeeded = 0;
        takeCharacter(reader, replacementCharacter);
    }
    if (reader.pieceLength > 0) finishPiece(reader);
}

}  // namespace

void loadSettingsFromBytes(std::span<const char> bytes) {
    SettingsReader reader;
    feedBytes(reader, bytes);
    finishBytes(reader);
}

void loadSettingsFrom(const char* path) {
    std::FILE* file = openFileForReading(path);
    if (file == nullptr) {
        // A missing file is the usual case; one that is there but cannot be
        // read leaves the defaults just the same, and a service says why.
        if (errno != ENOENT) reportFailure("cannot read settings file", path, systemReason(errno));
        return;
    }
    SettingsReader reader;
    std::array<char, 512> chunk;
    // Lines after the fifth are ignored, so reading stops once it is handled.
    while (!readerDone(reader)) {
        const std::size_t count = std::fread(chunk.data(), 1, chunk.size(), file);
        if (count == 0) break;
        feedBytes(reader, {chunk.data(), count});
    }
    if (std::ferror(file) != 0) reportFailure("cannot read settings file", path, systemReason(errno));
    finishBytes(reader);
    std::fclose(file);
}

// ---- Locating the file ----------------------------------------------------

namespace {

constexpr std::string_view settingsFileName = "settings.ini";

}  // namespace

// settings.ini in the directory of the running executable; if its path cannot
// be read (or would not fit), settings.ini in the working directory.
void loadSettings() {
    std::array<char, executablePathCapacity + settingsFileName.size()> path;
    const std::size_t length = executablePath(std::span<char>(path.data(), executablePathCapacity));
    std::size_t directoryLength = 0;  // up to and including the last "/"
    if (length > 0) {
        const std::string_view executable(path.data(), length);
        const std::size_t separator = executable.rfind('/');
        if (separator != std::string_view::npos) directoryLength = separator + 1;
    }
    const auto end = std::copy(settingsFileName.begin(), settingsFileName.end(),
                               path.begin() + static_cast<std::ptrdiff_t>(directoryLength));
    *end = '\0';
    loadSettingsFrom(path.data());
}
