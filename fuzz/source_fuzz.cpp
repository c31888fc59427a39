// Feeds arbitrary text to the source URL reader and, in chunks of the sizes
// the first byte chooses, to gpsd's line filter. Beyond the sanitizers, it
// checks what must always hold: an understood URL has a terminated, non-empty
// host and a port; the filter keeps at most what it was given, zero-fills the
// rest of the chunk, and every byte it keeps is one that a JSON line never
// held (what it keeps is what a line-by-line filter of the whole text keeps).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "gps/framing.hpp"
#include "gps/source.hpp"

namespace {

// The same filter, written plainly over the whole text at once.
std::string withoutJsonLines(std::string_view text) {
    std::string kept;
    bool lineStart = true;
    bool json = false;
    for (char c : text) {
        if (lineStart && c == '{') json = true;
        lineStart = c == '\n';
        if (!json) kept.push_back(c);
        if (c == '\n') json = false;
    }
    return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    NetworkSource source{};
    if (parseSourceUrl(text, source)) {
        const void* end = std::memchr(source.host.data(), '\0', source.host.size());
        if (end == nullptr || source.host[0] == '\0' || source.port == 0) std::abort();
    }
    if (size == 0) return 0;
    const std::size_t step = 1 + data[0] % chunkCapacity;
    GpsdLineFilter filter{};
    resetGpsdLineFilter(filter);
    std::string kept;
    for (std::size_t at = 1; at < size; at += step) {
        std::array<char, chunkCapacity> chunk;
        chunk.fill('x');
        const std::size_t count = std::min(step, size - at);
        std::memcpy(chunk.data(), data + at, count);
        const std::size_t left = dropGpsdJsonLines(filter, chunk, count);
        if (left > count) std::abort();
        if (std::any_of(chunk.begin() + static_cast<std::ptrdiff_t>(left),
                        chunk.begin() + static_cast<std::ptrdiff_t>(count), [](char c) { return c != '\0'; }))
            std::abort();
        kept.append(chunk.data(), left);
    }
    if (kept != withoutJsonLines(text.substr(1))) std::abort();
    return 0;
}
