// The inputs of the server's web side that come from the client: ISO times
// of a range, Basic credentials, cookies, the Origin and Host of a POST, the
// client address the limits count, the JSON of the management API, the
// paths of share links as the log shows them; and the escaping of any bytes into
// JSON and XML, which must give valid UTF-8 with no raw markup characters.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "server/loginlimits.hpp"
#include "server/shares.hpp"
#include "server/webformat.hpp"
#include "server/websession.hpp"
#include "server/webtime.hpp"

namespace {

// Every byte is part of a well-formed UTF-8 sequence (checked the simple
// way: a lead byte followed by the continuation bytes it announces).
bool wellFormedUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80    ? 1
                                   : lead >= 0xF0 ? 4
                                   : lead >= 0xE0 ? 3
                                   : lead >= 0xC2 ? 2
                                                  : 0;
        if (length == 0 || text.size() - at < length) return false;
        for (std::size_t i = 1; i < length; ++i)
            if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return false;
        at += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    std::int64_t micros = 0;
    if (parseIsoTime(input, micros)) {
        // A time read back from its own text is the same time.
        std::int64_t again = -1;
        if (!parseIsoTime(formatIsoTime(micros), again) || again != micros) std::abort();
    }

    std::string login, password;
    if (parseBasicAuthorization(input, login, password) && login.find(':') != std::string::npos) std::abort();
    const std::string_view cookie = cookieValue(input, sessionCookieName);
    if (cookie.size() > input.size()) std::abort();

    // An origin is its own site, whichever half of the input is the host.
    const std::string_view host = input.substr(0, input.size() / 2);
    if (!host.empty() && host.find_first_of(" \t/?#") == std::string_view::npos &&
        !fromOwnOrigin("http://" + std::string(host), {}, host))
        std::abort();
    fromOwnOrigin(input.substr(input.size() / 2), input, host);
    if (loginlimit::addressKey(input).empty() != input.empty()) std::abort();

    // A request's strings come out as valid UTF-8, at most jsonFieldsMax of them.
    std::vector<JsonField> fields;
    if (readJsonObject(input, fields)) {
        if (fields.size() > jsonFieldsMax) std::abort();
        for (const JsonField& field : fields)
            if (!wellFormedUtf8(field.name) && wellFormedUtf8(input)) std::abort();
    }
    // The log never holds more of a token than its start.
    const std::string logged = logSafePath(input);
    const std::string_view token = input.substr(std::min<std::size_t>(3, input.size()), shareTokenChars);
    if (input.starts_with("/s/") && looksLikeShareToken(token) && logged.find(token) != std::string::npos)
        std::abort();

    std::string json, xml;
    appendJsonString(json, input);
    appendXmlText(xml, input);
    if (!wellFormedUtf8(json) || !wellFormedUtf8(xml)) std::abort();
    if (json.substr(1, json.size() - 2).find_first_of("<>&\n") != std::string::npos) std::abort();
    if (xml.find_first_of("<>\"") != std::string::npos) std::abort();
    if (xml.find("\xEF\xBF\xBE") != std::string::npos || xml.find("\xEF\xBF\xBF") != std::string::npos)
        std::abort();
    return 0;
}
