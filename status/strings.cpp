// The program's string resources: the fixed message texts, looked up by
// identifier the way a resource loader does. The table is the whole of the
// program's resources; an identifier not in it has no text.
#include "status/strings.hpp"

#include <algorithm>
#include <array>

namespace {

struct StringResource {
    std::uint16_t id;
    std::wstring_view text;  // at most 59 characters
};

constexpr std::array<StringResource, 21> stringTable{{
    {103, L"Exit"},
    {104, L"Start"},
    {106, L"Connecting..."},
    {108, L"Wrong login!"},
    {109, L"Can't connect!"},
    {110, L"Can't open host!"},
    {111, L"Can't send data!"},
    {112, L"Service unavailable!"},
    {113, L"Sent successfully."},
    {114, L"Trying to get data from GPS..."},
    {116, L"Can't open GPS-port!"},
    {118, L"Can't configure GPS-port!"},
    {120, L"Download new version!"},
    {121, L"Can't find satellites!"},
    {122, L"Bad query!"},
    {123, L"Authorization error!"},
    {124, L"Wrong password!"},
    {125, L"Saving error. Try again..."},
    {126, L"Kept for later: %1 waiting."},
    {127, L"Sent %1 kept reports."},
    {128, L"Queue full: the oldest kept report was dropped."},
}};

// Every text fits the 60-character buffer its callers load it into.
static_assert(std::all_of(stringTable.begin(), stringTable.end(),
                          [](const StringResource& entry) { return entry.text.size() <= 59; }));

}  // namespace

std::wstring_view findString(std::uint16_t id) {
    for (const StringResource& entry : stringTable) {
        if (entry.id == id) return entry.text;
    }
    return {};
}

std::size_t loadString(std::uint16_t id, std::span<wchar_t> buffer) {
    if (buffer.empty()) return 0;
    const std::wstring_view text = findString(id);
    const std::size_t count = std::min(text.size(), buffer.size() - 1);
    std::copy_n(text.begin(), count, buffer.begin());
    buffer[count] = L'\0';
    return count;
}
