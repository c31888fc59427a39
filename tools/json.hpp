// A tiny JSON line writer for the tools: one object per line, built in a
// fixed buffer, bytes of text written as the characters of the same code.
#pragma once

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

// 8 KB holds the longest line a tool writes: a 255-character sentence and a
// 261-character text escaped at six bytes per byte, plus the records.
constexpr std::size_t jsonLineCapacity = 8192;

struct JsonLine {
    std::array<char, jsonLineCapacity> text;
    std::size_t length;
    bool overflowed;  // something did not fit and was left out
};

inline void jsonClear(JsonLine& line) {
    line.length = 0;
    line.overflowed = false;
}

inline std::string_view jsonText(const JsonLine& line) {
    return {line.text.data(), line.length};
}

inline void jsonRaw(JsonLine& line, std::string_view raw) {
    if (raw.size() > line.text.size() - line.length) {
        line.overflowed = true;
        return;
    }
    for (char c : raw) line.text[line.length++] = c;
}

// ", " between members and elements, none after an opening bracket.
inline void jsonSeparator(JsonLine& line) {
    if (line.length == 0) return;
    const char last = line.text[line.length - 1];
    if (last != '{' && last != '[') jsonRaw(line, ", ");
}

// A string of bytes: '"' and '\' escaped, control bytes, DEL and bytes of
// 0x80 and above as \u00XX, so the line is plain ASCII and code point = byte.
inline void jsonString(JsonLine& line, std::string_view bytes) {
    constexpr std::string_view hex = "0123456789abcdef";
    jsonRaw(line, "\"");
    for (char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            const char escaped[2] = {'\\', c};
            jsonRaw(line, {escaped, 2});
        } else if (code < 0x20 || code >= 0x7f) {
            const char escaped[6] = {'\\', 'u', '0', '0', hex[code >> 4], hex[code & 0xf]};
            jsonRaw(line, {escaped, 6});
        } else {
            jsonRaw(line, {&c, 1});
        }
    }
    jsonRaw(line, "\"");
}

// `"name": ` with the separator in front of it when needed.
inline void jsonKey(JsonLine& line, std::string_view name) {
    jsonSeparator(line);
    jsonString(line, name);
    jsonRaw(line, ": ");
}

inline void jsonInteger(JsonLine& line, std::int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    jsonRaw(line, {digits, static_cast<std::size_t>(result.ptr - digits)});
}

// The shortest text that reads back to the same float or double; JSON has no
// infinities or NaN, so those (never stored by the decoders) print as null.
template <typename Float>
void jsonNumber(JsonLine& line, Float value) {
    if (!std::isfinite(value)) {
        jsonRaw(line, "null");
        return;
    }
    char digits[64];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    jsonRaw(line, {digits, static_cast<std::size_t>(result.ptr - digits)});
}

// One character as a one-character string, or null for the character 0.
inline void jsonCharacter(JsonLine& line, char c) {
    if (c == '\0') {
        jsonRaw(line, "null");
    } else {
        jsonString(line, {&c, 1});
    }
}

// Members of an object: `"name": value`, separated from the one before.
inline void jsonIntegerMember(JsonLine& line, std::string_view name, std::int64_t value) {
    jsonKey(line, name);
    jsonInteger(line, value);
}

template <typename Float>
void jsonNumberMember(JsonLine& line, std::string_view name, Float value) {
    jsonKey(line, name);
    jsonNumber(line, value);
}

inline void jsonCharacterMember(JsonLine& line, std::string_view name, char c) {
    jsonKey(line, name);
    jsonCharacter(line, c);
}

inline void jsonStringMember(JsonLine& line, std::string_view name, std::string_view bytes) {
    jsonKey(line, name);
    jsonString(line, bytes);
}
