// The running executable's path on Windows, from GetModuleFileNameW, and
// files opened by UTF-8 names.
#include "platform/files.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>

namespace {

// A path that fits executablePathCapacity bytes of UTF-8 has at most as many
// UTF-16 units.
using WidePath = std::array<wchar_t, executablePathCapacity>;

int clampedSize(std::size_t size) {
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

}  // namespace

std::size_t executablePath(std::span<char> buffer) {
    WidePath wide;
    const DWORD length = GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(wide.size()));
    if (length == 0 || length >= wide.size() || buffer.empty()) return 0;
    std::replace(wide.begin(), wide.begin() + length, L'\\', L'/');
    const int bytes =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(length),
                            buffer.data(), clampedSize(buffer.size()), nullptr, nullptr);
    if (bytes <= 0 || static_cast<std::size_t>(bytes) >= buffer.size()) return 0;
    return static_cast<std::size_t>(bytes);
}

std::FILE* openFileForReading(const char* path) {
    WidePath wide;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), clampedSize(wide.size())) <=
        0)
        return nullptr;
    return _wfopen(wide.data(), L"rb");
}
