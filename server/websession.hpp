// Who is asking: sign-in sessions held in memory, the session cookie and
// HTTP Basic credentials. Wrong passwords at the sign-in count against the
// same limit as those of reports (checkAccount).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

constexpr std::string_view sessionCookieName = "wayloom_session";
constexpr std::int64_t sessionLifetimeSeconds = 12 * 3600;  // a working day; then sign in again
constexpr std::size_t sessionLimit = 100000;                // far above the accounts of one server
constexpr std::size_t sessionTokenBytes = 32;               // 256 random bits

struct Session {
    std::string login;
    std::int64_t accountVersion;  // of the account at sign-in: any change of it ends the session
    std::int64_t expiresSeconds;  // Unix time
};

// Sessions by a digest of their token, so that the table never holds a token
// that would open a session if it leaked from memory.
struct SessionStore {
    std::mutex lock;
    std::unordered_map<std::string, Session> sessions;
};

// Opens a session and returns its token (URL-safe base64, 43 characters).
// Expired sessions are dropped first; when the table is still full the one
// that expires soonest goes.
std::string openSession(SessionStore& store, std::string_view login, std::int64_t accountVersion,
                        std::int64_t nowSeconds);

// The session of a token, if it exists and has not expired.
bool findSession(SessionStore& store, std::string_view token, std::int64_t nowSeconds, Session& session);

// Ends the session of token (sign-out); an unknown token is ignored.
void closeSession(SessionStore& store, std::string_view token);

// Set-Cookie values: the session (HttpOnly, SameSite=Strict, Path=/, lasting
// as long as the session) and the one that removes it.
std::string sessionCookie(std::string_view token);
std::string removedSessionCookie();

// The value of cookie `name` in a Cookie header ("a=1; b=2"); empty if absent.
std::string_view cookieValue(std::string_view cookieHeader, std::string_view name);

// True unless a browser says the request comes from a page of another origin:
// its Origin header (or, without one, its Referer) must be http or https
// with the request's Host. A request with neither (not sent by a page, as a
// script's) passes; "Origin: null" does not. State-changing requests (the
// sign-in, the sign-out, every POST of the web side) are refused otherwise.
bool fromOwnOrigin(std::string_view origin, std::string_view referer, std::string_view host);

// Reads "Basic BASE64(login:password)" (the scheme in any case). False for
// another scheme, bad base64, no colon, or more than 512 decoded bytes.
bool parseBasicAuthorization(std::string_view header, std::string& login, std::string& password);
