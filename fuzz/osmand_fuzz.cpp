// The OsmAnd protocol's query or form, and its JSON form, from any bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/phone_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    PhoneMessage form;
    checkPhoneRead(readOsmAndForm(input, fuzzArrivalUs, form), form);
    PhoneMessage json;
    checkPhoneRead(readOsmAndJson(input, fuzzArrivalUs, json), json);
    if (json.positions.size() > 1 || form.positions.size() > 1) std::abort();  // one location per request
    return 0;
}
