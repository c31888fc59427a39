// Who is asking: sign-in sessions held in memory, the session cookie, HTTP
// Basic credentials, and the limit on failed sign-ins.
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
    bool admin;
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
std::string openSession(SessionStore& store, std::string_view login, bool admin, std::int64_t nowSeconds);

// The session of a token, if it exists and has not expired.
bool findSession(SessionStore& store, std::string_view token, std::int64_t nowSeconds, Session& session);

void closeSession(SessionStore& store, std::string_view token);

// Ends every session of a login: its password changed or it was disabled.
void closeSessionsOf(SessionStore& store, std::string_view login);

// Set-Cookie values: the session (HttpOnly, SameSite=Strict, Path=/, lasting
// as long as the session) and the one that removes it.
std::string sessionCookie(std::string_view token);
std::string removedSessionCookie();

// The value of cookie `name` in a Cookie header ("a=1; b=2"); empty if absent.
std::string_view cookieValue(std::string_view cookieHeader, std::string_view name);

// Reads "Basic BASE64(login:password)" (the scheme in any case). False for
// another scheme, bad base64, no colon, or more than 512 decoded bytes.
bool parseBasicAuthorization(std::string_view header, std::string& login, std::string& password);

// Failed sign-ins counted per login and per client address in fixed windows;
// while either count is at its limit, sign-ins for that login or from that
// address are refused without looking at the password.
constexpr int signInFailuresPerLogin = 5;
constexpr int signInFailuresPerAddress = 20;
constexpr std::int64_t signInWindowSeconds = 60;
constexpr std::size_t signInTrackedLimit = 100000;  // keys kept before expired ones are dropped

struct SignInLimiter {
    struct Window {
        std::int64_t startSeconds;
        int failures;
    };
    std::mutex lock;
    std::unordered_map<std::string, Window> windows;  // "l" + login, "a" + address
};

bool signInAllowed(SignInLimiter& limiter, std::string_view login, std::string_view address,
                   std::int64_t nowSeconds);
void noteSignInFailure(SignInLimiter& limiter, std::string_view login, std::string_view address,
                       std::int64_t nowSeconds);
// A right password clears the login's count (not the address's).
void noteSignInSuccess(SignInLimiter& limiter, std::string_view login);
