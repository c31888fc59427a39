// OwnTracks' JSON messages from any bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/phone_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PhoneMessage message;
    const PhoneRead read =
        readOwnTracks(std::string_view(reinterpret_cast<const char*>(data), size), fuzzArrivalUs, message);
    checkPhoneRead(read, message);
    if (message.positions.size() > 1) std::abort();
    return 0;
}
