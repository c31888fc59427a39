// Feeds arbitrary settings files to the reader. Beyond the sanitizers, it
// checks what every file must leave: a terminated port name of at most 17
// characters with no space, CR or LF at its end, a login and password of at
// most 35 bytes of whole UTF-8 characters, an interval of at least 30, and
// option texts (server host, ca-file, source) terminated within their arrays.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "settings/settings.hpp"

namespace {

bool wholeUtf8(const char* text) {
    for (const auto* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0;) {
        const int length = *byte < 0x80 ? 1 : *byte < 0xE0 ? 2 : *byte < 0xF0 ? 3 : 4;
        if ((*byte >= 0x80 && *byte < 0xC2) || *byte > 0xF4) return false;
        for (int i = 1; i < length; ++i) {
            if ((byte[i] & 0xC0) != 0x80) return false;
        }
        byte += length;
    }
    return true;
}

template <std::size_t capacity>
bool textSound(const std::array<char, capacity>& text) {
    const void* end = std::memchr(text.data(), '\0', text.size());
    return end != nullptr && wholeUtf8(text.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    resetSettings();
    loadSettingsFromBytes({reinterpret_cast<const char*>(data), size});
    const std::size_t portLength = wcsnlen(settings.portName.data(), settings.portName.size());
    const wchar_t last = portLength > 0 ? settings.portName[portLength - 1] : L'x';
    if (portLength >= settings.portName.size() || last == L' ' || last == L'\r' || last == L'\n' ||
        !textSound(settings.login) || !textSound(settings.password) ||
        settings.reportInterval < minimumReportInterval || !textSound(settings.server.host) ||
        !textSound(settings.caFile) || !textSound(settings.source) || settings.staleAfterSeconds < 0 ||
        (settings.server.usable && settings.server.given && settings.server.host[0] == '\0')) {
        std::abort();
    }
    return 0;
}
