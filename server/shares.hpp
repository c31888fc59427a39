// Share links: the tokens that open a shared page without an account.
//
// A token is shareTokenBytes random bytes in URL-safe base64. Only its
// BLAKE2b digest is stored, so the database never holds a token that would
// open a page if it leaked; a token offered is digested and its row looked up
// by the digest, then the digests are compared again in constant time. The
// log shows a token's first few characters only (logSafePath).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

constexpr std::size_t shareTokenBytes = 24;  // 192 random bits
constexpr std::size_t shareTokenChars = 32;  // their URL-safe base64, without padding
constexpr std::int64_t shareHoursMin = 1;
constexpr std::int64_t shareHoursMax = 30 * 24;  // thirty days
constexpr std::size_t logTokenChars = 6;         // of a token, in the log: enough to tell links apart
// The path a shared page lives under: "/s/TOKEN", "/s/TOKEN/live".
constexpr std::string_view sharePathPrefix = "/s/";
constexpr std::string_view shareApiPrefix = "/api/shares/";

// A new random token.
std::string newShareToken();

// The hex BLAKE2b-256 digest a token is stored and looked up by.
std::string shareTokenDigest(std::string_view token);

// True when text has a token's form: shareTokenChars characters of URL-safe
// base64. Anything else is no token, and is not looked up.
bool looksLikeShareToken(std::string_view text);

// True when two digests are the same, compared in a time that does not
// depend on where they differ.
bool sameShareDigest(std::string_view a, std::string_view b);

// The path as the log may show it: a token after "/s/" or "/api/shares/"
// cut to its first logTokenChars characters and "...", and what follows it
// shown only when it is a part of the shared page ("/live" ...), else "/...".
std::string logSafePath(std::string_view path);
