// Feeds arbitrary settings files to the reader. Beyond the sanitizers, it
// checks what every file must leave: a terminated port name of at most 17
// characters with no space, CR or LF at its end, a login and password of at
// most 35 bytes of whole UTF-8 characters, and an interval of at least 30.
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

bool credentialSound(const std::array<char, credentialCapacity>& credential) {
    const void* end = std::memchr(credential.data(), '\0', credential.size());
    return end != nullptr && wholeUtf8(credential.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    resetSettings();
    loadSettingsFromBytes({reinterpret_cast<const char*>(data), size});
    const std::size_t portLength = wcsnlen(settings.portName.data(), settings.portName.size());
    const wchar_t last = portLength > 0 ? settings.portName[portLength - 1] : L'x';
    if (portLength >= settings.portName.size() || last == L' ' || last == L'\r' || last == L'\n' ||
        !credentialSound(settings.login) || !credentialSound(settings.password) ||
        settings.reportInterval < minimumReportInterval) {
        std::abort();
    }
    return 0;
}
