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
constexpr std::size_t settingsFileMaxBytes = 1 << 20;
constexpr char32_t replacementCharacter = 0xFFFD;
constexpr char32_t byteOrderMark = 0xFEFF;

constexpr Settings defaultSettings() {
    Settings defaults{};
    defaults.portName = {L'C', L'O', L'M', L'1', L':'};
    defaults.baudRate = 4800;
    defaults.reportInterval = minimumReportInterval;
    defaults.server.usable = true;
    defaults.caFileUsable = true;
    defaults.queueLimit = defaultQueueLimit;
    return defaults;
}

}  // namespace

Settings settings = defaultSettings();

void resetSettings() {
    settings = defaultSettings();
}

std::int32_t effectiveReportMinInterval(const Settings& given) {
    return given.reportMinIntervalSeconds > 0 ? given.reportMinIntervalSeconds
                                              : defaultReportMinIntervalSeconds;
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
// fit beside the terminator, so no character is ever cut in half. False when
// text did not fit whole.
template <std::size_t capacity>
bool storeEightBit(std::wstring_view text, std::array<char, capacity>& out) {
    out.fill('\0');
    std::size_t used = 0;
    for (const wchar_t character : text) {
        if (character == L'\0') break;
        std::array<char, 4> bytes;
        const std::size_t length = encodeUtf8(character, bytes);
        if (used + length > out.size() - 1) return false;
        std::copy_n(bytes.begin(), length, out.begin() + static_cast<std::ptrdiff_t>(used));
        used += length;
    }
    return true;
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

// Applies the setting line at position (0 for the first counted line). cut
// says the reader cut the line, continued that it is the rest of a cut line.
void applySettingsLine(int position, SettingsLine& line, bool cut, bool continued) {
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
            storeEightBit(std::wstring_view(line.data()), position == 2 ? settings.login : settings.password);
            break;
        case 4:  // report interval, never below 30 seconds
            trimLineEnd(line.data());
            settings.reportInterval = std::max(readDecimalInteger(line.data()), minimumReportInterval);
            break;
        default:  // a sixth line and later: an option, or ignored. The rest of
                  // a cut line is never read as an option of its own.
            if (!continued) applyOptionLine(line.data(), cut);
            break;
    }
}

}  // namespace

// ---- Option lines ---------------------------------------------------------

namespace {

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::wstring_view trimBlanks(std::wstring_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && (isBlank(text.back()) || text.back() == L'\r' || text.back() == L'\n'))
        text.remove_suffix(1);
    return text;
}

bool startsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const wchar_t c = text[i] >= L'A' && text[i] <= L'Z' ? static_cast<wchar_t>(text[i] + 32) : text[i];
        if (c != prefix[i]) return false;
    }
    return true;
}

bool isHostNameCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' ||
           c == L'.';
}

bool isIpv6Character(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F') || c == L':' ||
           c == L'.';
}

// A port of 1 to 65535 in decimal digits; 0 when the text is anything else.
std::uint16_t readPort(std::wstring_view text) {
    if (text.empty() || text.size() > 5) return 0;
    std::uint32_t port = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return 0;
        port = port * 10 + static_cast<std::uint32_t>(c - L'0');
    }
    return port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
}

// "http://HOST[:PORT]" or "https://HOST[:PORT]", the scheme in any case, a
// single "/" after the authority allowed; HOST a DNS name of letters, digits,
// "-" and ".", an IPv4 address, or an IPv6 address in brackets. Anything else
// (a path, a user name, an empty host or port) cannot be understood: the
// server is then unusable, never the default, so the password cannot go to a
// host the user did not name.
ServerSetting readServerUrl(std::wstring_view url) {
    ServerSetting server{};
    server.given = true;
    if (startsWithIgnoringCase(url, L"https://")) {
        server.scheme = ServerScheme::https;
        url.remove_prefix(8);
    } else if (startsWithIgnoringCase(url, L"http://")) {
        server.scheme = ServerScheme::http;
        url.remove_prefix(7);
    } else {
        return server;
    }
    if (!url.empty() && url.back() == L'/') url.remove_suffix(1);
    std::wstring_view host;
    std::wstring_view rest;
    if (!url.empty() && url.front() == L'[') {
        const std::size_t close = url.find(L']');
        if (close == std::wstring_view::npos) return server;
        host = url.substr(1, close - 1);
        rest = url.substr(close + 1);
        if (host.find(L':') == std::wstring_view::npos ||
            !std::all_of(host.begin(), host.end(), isIpv6Character))
            return server;
    } else {
        const std::size_t colon = url.find(L':');
        host = url.substr(0, colon);
        rest = colon == std::wstring_view::npos ? std::wstring_view{} : url.substr(colon);
        if (!std::all_of(host.begin(), host.end(), isHostNameCharacter)) return server;
    }
    if (host.empty()) return server;
    if (!rest.empty()) {
        if (rest.front() != L':') return server;
        server.port = readPort(rest.substr(1));
        if (server.port == 0) return server;
    }
    server.usable = storeEightBit(host, server.host);
    return server;
}

// stale-after (whole seconds) and queue-limit: decimal digits, saturating at
// the largest 32-bit number. False for anything else.
bool readSeconds(std::wstring_view text, std::int32_t& seconds) {
    if (text.empty()) return false;
    std::int64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = std::min<std::int64_t>(value * 10 + (c - L'0'), INT32_MAX);
    }
    seconds = static_cast<std::int32_t>(value);
    return true;
}

// The options whose values are words: name, the word that sets the flag, the
// word that clears it (the default), and the flag.
struct WordOption {
    std::wstring_view name;
    std::wstring_view setWord;
    std::wstring_view defaultWord;
    bool Settings::*flag;
};

constexpr std::array<WordOption, 4> wordOptions{{
    {L"talkers", L"any", L"GP", &Settings::anyTalker},
    {L"fields", L"extended", L"basic", &Settings::extendedFields},
    {L"positions", L"unsigned", L"signed", &Settings::unsignedPositions},
    {L"checksums", L"required", L"ignored", &Settings::checksumsRequired},
}};

}  // namespace

bool applyOptionLine(const wchar_t* line, bool cut) {
    const std::wstring_view text(line);
    const std::size_t equals = text.find(L'=');
    if (equals == std::wstring_view::npos) return false;
    const std::wstring_view name = trimBlanks(text.substr(0, equals));
    const std::wstring_view value = trimBlanks(text.substr(equals + 1));
    for (const WordOption& option : wordOptions) {
        if (name != option.name) continue;
        // A cut line, or a word that is neither, leaves the option as it was.
        if (!cut && value == option.setWord) settings.*option.flag = true;
        if (!cut && value == option.defaultWord) settings.*option.flag = false;
        return true;
    }
    if (name == L"server") {
        settings.server = readServerUrl(cut ? std::wstring_view{} : value);
        return true;
    }
    if (name == L"ca-file") {
        settings.caFileUsable = !cut && storeEightBit(value, settings.caFile);
        if (!settings.caFileUsable) settings.caFile.fill('\0');
        return true;
    }
    if (name == L"stale-after") {
        std::int32_t seconds = 0;
        if (!cut && readSeconds(value, seconds)) settings.staleAfterSeconds = seconds;
        return true;
    }
    if (name == L"queue") {
        // A path that was cut, or is empty, names no file: the option stays on
        // (reports carry their time) and keeping fails where it is tried.
        settings.queueGiven = true;
        if (cut || !storeEightBit(value, settings.queuePath)) settings.queuePath.fill('\0');
        return true;
    }
    if (name == L"queue-limit") {
        std::int32_t limit = 0;
        if (!cut && readSeconds(value, limit) && limit > 0)
            settings.queueLimit = std::min(limit, maximumQueueLimit);
        return true;
    }
    // Whole numbers; 0 turns report-distance and report-turn off again.
    if (name == L"report-distance" || name == L"report-turn" || name == L"report-min-interval") {
        std::int32_t number = 0;
        if (cut || !readSeconds(value, number)) return true;
        if (name == L"report-distance") settings.reportDistanceMetres = number;
        if (name == L"report-turn") settings.reportTurnDegrees = std::min(number, maximumReportTurnDegrees);
        if (name == L"report-min-interval") settings.reportMinIntervalSeconds = std::max(number, 1);
        return true;
    }
    if (name == L"source") {
        if (cut || !storeEightBit(value, settings.source)) {
            settings.source.fill('\0');
            std::copy(unusableSource.begin(), unusableSource.end(), settings.source.begin());
        }
        return true;
    }
    return false;
}

namespace {

// ---- The piece reader -----------------------------------------------------

struct SettingsReader {
    Utf8Decoder decoder;
    SettingsLine piece{};
    std::size_t pieceLength = 0;
    int linesCounted = 0;        // pieces that were neither comment nor blank
    bool atFileStart = true;     // a byte-order mark is skipped only here
    bool continuesLine = false;  // the piece is the rest of a line cut before it
};

// A piece is a comment or blank line when its first character is "#", LF or
// CR. A piece that ends without LF before the end of the file was cut at 143
// characters, and the next piece continues its line.
void finishPiece(SettingsReader& reader) {
    const bool cut =
        reader.piece[reader.pieceLength - 1] != L'\n' && reader.pieceLength == reader.piece.size() - 1;
    const bool continued = reader.continuesLine;
    reader.continuesLine = cut;
    reader.piece[reader.pieceLength] = L'\0';
    reader.pieceLength = 0;
    const wchar_t first = reader.piece[0];
    if (first == L'#' || first == L'\n' || first == L'\r') return;
    applySettingsLine(reader.linesCounted, reader.piece, cut, continued);
    if (reader.linesCounted < settingsLineCount) ++reader.linesCounted;
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
    // Option lines may come anywhere after the fifth line, so the whole file is
    // read, up to a size no settings file reaches (a device or a wrong file
    // named settings.ini cannot hold the program).
    for (std::size_t total = 0; total < settingsFileMaxBytes;) {
        const std::size_t count = std::fread(chunk.data(), 1, chunk.size(), file);
        if (count == 0) break;
        feedBytes(reader, {chunk.data(), count});
        total += count;
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
