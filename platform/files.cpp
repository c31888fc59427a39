// The running executable's path, from /proc/self/exe.
#include "platform/files.hpp"

#include <unistd.h>

std::size_t executablePath(std::span<char> buffer) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return 0;
    return static_cast<std::size_t>(length);
}

std::FILE* openFileForReading(const char* path) {
    return std::fopen(path, "rb");
}
