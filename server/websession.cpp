// Sessions, cookies and Basic credentials. Tokens come
// from libsodium's generator and are looked up by their BLAKE2b digest.
#include "server/websession.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace {

std::string tokenDigest(std::string_view token) {
    std::array<unsigned char, crypto_generichash_BYTES> digest{};
    crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(token.data()),
                       token.size(), nullptr, 0);
    return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

void dropExpired(SessionStore& store, std::int64_t nowSeconds) {
    std::erase_if(store.sessions,
                  [nowSeconds](const auto& entry) { return entry.second.expiresSeconds <= nowSeconds; });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

std::string openSession(SessionStore& store, std::string_view login, std::int64_t accountVersion,
                        std::int64_t nowSeconds) {
    std::array<unsigned char, sessionTokenBytes> random{};
    randombytes_buf(random.data(), random.size());
    std::array<char, sodium_base64_ENCODED_LEN(sessionTokenBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING)>
        text{};
    sodium_bin2base64(text.data(), text.size(), random.data(), random.size(),
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    std::string token(text.data());
    const std::lock_guard guard(store.lock);
    if (store.sessions.size() >= sessionLimit) dropExpired(store, nowSeconds);
    if (store.sessions.size() >= sessionLimit) {
        const auto soonest = std::min_element(
            store.sessions.begin(), store.sessions.end(),
            [](const auto& a, const auto& b) { return a.second.expiresSeconds < b.second.expiresSeconds; });
        store.sessions.erase(soonest);
    }
    store.sessions[tokenDigest(token)] =
        Session{std::string(login), accountVersion, nowSeconds + sessionLifetimeSeconds};
    return token;
}

bool findSession(SessionStore& store, std::string_view token, std::int64_t nowSeconds, Session& session) {
    if (token.empty()) return false;
    const std::string digest = tokenDigest(token);
    const std::lock_guard guard(store.lock);
    const auto found = store.sessions.find(digest);
    if (found == store.sessions.end()) return false;
    if (found->second.expiresSeconds <= nowSeconds) {
        store.sessions.erase(found);
        return false;
    }
    session = found->second;
    return true;
}

void closeSession(SessionStore& store, std::string_view token) {
    const std::string digest = tokenDigest(token);
    const std::lock_guard guard(store.lock);
    store.sessions.erase(digest);
}

std::string sessionCookie(std::string_view token) {
    return std::string(sessionCookieName) + "=" + std::string(token) +
           "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + std::to_string(sessionLifetimeSeconds);
}

std::string removedSessionCookie() {
    return std::string(sessionCookieName) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0";
}

std::string_view cookieValue(std::string_view cookieHeader, std::string_view name) {
    while (!cookieHeader.empty()) {
        const std::size_t end = std::min(cookieHeader.find(';'), cookieHeader.size());
        const std::string_view pair = trim(cookieHeader.substr(0, end));
        cookieHeader.remove_prefix(std::min(end + 1, cookieHeader.size()));
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && trim(pair.substr(0, equals)) == name)
            return trim(pair.substr(equals + 1));
    }
    return {};
}

bool parseBasicAuthorization(std::string_view header, std::string& login, std::string& password) {
    constexpr std::size_t decodedLimit = 512;
    header = trim(header);
    constexpr std::string_view scheme = "basic ";
    if (header.size() <= scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i]) return false;
    const std::string_view encoded = trim(header.substr(scheme.size()));
    if (encoded.size() > decodedLimit * 4 / 3 + 4) return false;
    std::array<unsigned char, decodedLimit> decoded{};
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(decoded.data(), decoded.size(), encoded.data(), encoded.size(), nullptr, &length,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != encoded.data() + encoded.size())
        return false;
    const std::string_view pair(reinterpret_cast<const char*>(decoded.data()), length);
    const std::size_t colon = pair.find(':');
    if (colon == std::string_view::npos) return false;
    login.assign(pair.substr(0, colon));
    password.assign(pair.substr(colon + 1));
    return true;
}

namespace {

bool sameTextIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// "host:80" for http and "host:443" for https are the host alone.
std::string_view withoutDefaultPort(std::string_view authority, bool https) {
    const std::string_view port = https ? ":443" : ":80";
    return authority.ends_with(port) ? authority.substr(0, authority.size() - port.size()) : authority;
}

}  // namespace

bool fromOwnOrigin(std::string_view origin, std::string_view referer, std::string_view host) {
    std::string_view source = trim(origin);
    if (source.empty()) source = trim(referer);
    if (source.empty()) return true;
    bool https = false;
    if (source.size() > 8 && sameTextIgnoringCase(source.substr(0, 8), "https://")) {
        https = true;
        source.remove_prefix(8);
    } else if (source.size() > 7 && sameTextIgnoringCase(source.substr(0, 7), "http://")) {
        source.remove_prefix(7);
    } else {
        return false;  // "null", another scheme, or not a URL
    }
    const std::string_view authority = source.substr(0, source.find_first_of("/?#"));
    const std::string_view own = trim(host);
    return !own.empty() &&
           sameTextIgnoringCase(withoutDefaultPort(authority, https), withoutDefaultPort(own, https));
}
