// Feeds arbitrary bytes to the ca-file's PEM reader, a line at a time as the
// Windows TLS reads the file. Beyond the sanitizers, it checks that every
// certificate read decodes to at most the bytes its base64 can hold, and
// that a file called sound has read at least one.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/pem.hpp"

namespace {

PemReader reader;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    reader = PemReader{};
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), std::min(rest.size(), pemLineCapacity - 1));
        const std::string_view line = rest.substr(0, end + (end < rest.size() && rest[end] == '\n' ? 1 : 0));
        rest.remove_prefix(line.size());
        if (takePemLine(reader, line) == PemLine::certificate &&
            (reader.derLength == 0 || reader.derLength > derCertificateCapacity))
            std::abort();
    }
    if (pemFileSound(reader) && reader.count == 0) std::abort();
    return 0;
}
