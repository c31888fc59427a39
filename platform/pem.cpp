// PEM certificates a line at a time, and the base64 decoder under them.
#include "platform/pem.hpp"

#include <algorithm>

namespace {

constexpr std::string_view beginLine = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view endLine = "-----END CERTIFICATE-----";
constexpr std::uint8_t notBase64 = 0xFF;

constexpr std::array<std::uint8_t, 256> makeBase64Values() {
    std::array<std::uint8_t, 256> values{};
    values.fill(notBase64);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    return values;
}

constexpr std::array<std::uint8_t, 256> base64Values = makeBase64Values();

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    return line;
}

}  // namespace

// Groups of four characters make three bytes; "=" fills out the last group
// only, one or two of them.
bool decodeBase64(std::string_view text, std::span<std::uint8_t> der, std::size_t& length) {
    length = 0;
    if (text.size() % 4 != 0) return false;
    const std::size_t padding = text.size() - std::min(text.find_last_not_of('=') + 1, text.size());
    if (padding > 2 || text.size() / 4 * 3 - padding > der.size()) return false;
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const std::uint8_t value = base64Values[static_cast<unsigned char>(text[i])];
        if (value == notBase64) return false;
        group = (group << 6) | value;
        if (i % 4 == 3) {
            der[length++] = static_cast<std::uint8_t>(group >> 16);
            der[length++] = static_cast<std::uint8_t>(group >> 8);
            der[length++] = static_cast<std::uint8_t>(group);
        }
    }
    // The bits of a padded group beyond its bytes must be zero, as encoders write them.
    if (padding == 2) {
        if ((group & 0xFu) != 0) return false;
        der[length++] = static_cast<std::uint8_t>(group >> 4);
    } else if (padding == 1) {
        if ((group & 0x3u) != 0) return false;
        der[length++] = static_cast<std::uint8_t>(group >> 10);
        der[length++] = static_cast<std::uint8_t>(group >> 2);
    }
    return true;
}

PemLine takePemLine(PemReader& reader, std::string_view line) {
    const std::string_view text = withoutLineEnd(line);
    if (text == beginLine) {
        reader.inside = true;
        reader.bodyLength = 0;
        return PemLine::other;
    }
    if (!reader.inside) return PemLine::other;
    if (text == endLine) {
        reader.inside = false;
        const std::string_view body(reader.body.data(), reader.bodyLength);
        reader.sound =
            reader.sound && decodeBase64(body, reader.der, reader.derLength) && reader.derLength > 0;
        if (!reader.sound) return PemLine::damaged;
        ++reader.count;
        return PemLine::certificate;
    }
    if (reader.bodyLength + text.size() > reader.body.size()) {
        reader.sound = false;
        return PemLine::damaged;
    }
    std::copy(text.begin(), text.end(), reader.body.begin() + static_cast<std::ptrdiff_t>(reader.bodyLength));
    reader.bodyLength += text.size();
    return PemLine::other;
}

bool pemFileSound(const PemReader& reader) {
    return reader.sound && !reader.inside && reader.count > 0;
}
