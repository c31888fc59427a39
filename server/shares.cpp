// Share link tokens: made by libsodium's generator, stored as a digest,
// compared in constant time, kept out of the log.
#include "server/shares.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>

std::string newShareToken() {
    std::array<unsigned char, shareTokenBytes> random{};
    randombytes_buf(random.data(), random.size());
    std::array<char, sodium_base64_ENCODED_LEN(shareTokenBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING)>
        text{};
    sodium_bin2base64(text.data(), text.size(), random.data(), random.size(),
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    return text.data();
}

std::string shareTokenDigest(std::string_view token) {
    std::array<unsigned char, crypto_generichash_BYTES> digest{};
    crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(token.data()),
                       token.size(), nullptr, 0);
    std::array<char, crypto_generichash_BYTES * 2 + 1> hex{};
    sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
    return hex.data();
}

bool looksLikeShareToken(std::string_view text) {
    return text.size() == shareTokenChars && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
           });
}

bool sameShareDigest(std::string_view a, std::string_view b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string logSafePath(std::string_view path) {
    for (const std::string_view prefix : {sharePathPrefix, shareApiPrefix}) {
        if (!path.starts_with(prefix)) continue;
        std::string_view token = path.substr(prefix.size());
        std::string_view rest = token.substr(std::min(token.find('/'), token.size()));
        token.remove_suffix(rest.size());
        if (token.size() <= logTokenChars) return std::string(path);
        // What follows the token is logged only when it is one of the shared
        // page's own parts: anything else may hold the token again.
        constexpr std::string_view knownParts[] = {"", "/", "/about", "/position", "/track", "/live"};
        if (std::find(std::begin(knownParts), std::end(knownParts), rest) == std::end(knownParts))
            rest = "/...";
        return std::string(prefix) + std::string(token.substr(0, logTokenChars)) + "..." + std::string(rest);
    }
    return std::string(path);
}
