// Overland's batches from any bytes: every point kept can be stored, and
// every point is either kept or counted as left out.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/phone_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PhoneMessage message;
    const PhoneRead read =
        readOverland(std::string_view(reinterpret_cast<const char*>(data), size), fuzzArrivalUs, message);
    checkPhoneRead(read, message);
    if (message.positions.size() + message.pointsLeftOut > overlandBatchMaxPoints) std::abort();
    return 0;
}
