#include "server/websession.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

TEST(Sessions, OpenFindExpireClose) {
    ASSERT_GE(sodium_init(), 0);
    SessionStore store;
    const std::string alice = openSession(store, "alice", 7, 1000);
    const std::string admin = openSession(store, "root", 1, 1000);
    EXPECT_EQ(alice.size(), 43u);
    EXPECT_NE(alice, admin);
    Session session{};
    ASSERT_TRUE(findSession(store, alice, 1000 + sessionLifetimeSeconds - 1, session));
    EXPECT_EQ(session.login, "alice");
    EXPECT_EQ(session.accountVersion, 7);
    EXPECT_FALSE(findSession(store, alice, 1000 + sessionLifetimeSeconds, session));
    EXPECT_FALSE(findSession(store, "", 1000, session));
    EXPECT_FALSE(findSession(store, alice.substr(1), 1000, session));
    ASSERT_TRUE(findSession(store, admin, 1000, session));
    EXPECT_EQ(session.login, "root");
    closeSession(store, admin);
    EXPECT_FALSE(findSession(store, admin, 1000, session));
}

TEST(Sessions, TheCookieIsHttpOnlyAndStrict) {
    const std::string cookie = sessionCookie("abc");
    EXPECT_EQ(cookie.rfind("wayloom_session=abc;", 0), 0u) << cookie;
    for (const char* attribute : {"; HttpOnly", "; SameSite=Strict", "; Path=/", "; Max-Age=43200"})
        EXPECT_NE(cookie.find(attribute), std::string::npos) << attribute;
    EXPECT_NE(removedSessionCookie().find("Max-Age=0"), std::string::npos);

    struct Case {
        const char* header;
        const char* value;
    };
    constexpr Case cases[] = {
        {"wayloom_session=tok", "tok"},
        {"a=1; wayloom_session=tok; b=2", "tok"},
        {"a=1;wayloom_session = tok ", "tok"},
        {"xwayloom_session=tok", ""},
        {"wayloom_session", ""},
        {"", ""},
        {";;;", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(cookieValue(c.header, sessionCookieName), c.value) << c.header;
}

TEST(Sessions, BasicCredentials) {
    struct Case {
        const char* header;
        bool valid;
        const char* login;
        const char* password;
    };
    constexpr Case cases[] = {
        {"Basic YWxpY2U6czNjcmV0", true, "alice", "s3cret"},
        {"basic YWxpY2U6czNjcmV0", true, "alice", "s3cret"},
        {"Basic YWxpY2U6YTpi", true, "alice", "a:b"},  // alice:a:b, the first colon splits
        {"Basic OnB3", true, "", "pw"},
        {"Basic YWxpY2U=", false, "", ""},  // no colon
        {"Basic !!!!", false, "", ""},
        {"Bearer YWxpY2U6czNjcmV0", false, "", ""},
        {"Basic", false, "", ""},
        {"Basic YWxpY2U6czNjcmV0 x", false, "", ""},
    };
    for (const Case& c : cases) {
        std::string login, password;
        ASSERT_EQ(parseBasicAuthorization(c.header, login, password), c.valid) << c.header;
        if (!c.valid) continue;
        EXPECT_EQ(login, c.login);
        EXPECT_EQ(password, c.password);
    }
    std::string login, password;
    EXPECT_FALSE(parseBasicAuthorization("Basic " + std::string(1000, 'Q'), login, password));
}

TEST(Origin, RefusesRequestsFromPagesOfAnotherSite) {
    struct Case {
        const char* origin;
        const char* referer;
        const char* host;
        bool own;
    };
    constexpr Case cases[] = {
        {"http://maps.example:8080", "", "maps.example:8080", true},
        {"HTTPS://Maps.Example", "", "maps.example:443", true},
        {"", "http://maps.example/signin?failed", "maps.example", true},
        {"", "", "maps.example", true},  // not from a page
        {"http://evil.example", "", "maps.example", false},
        {"http://maps.example.evil.example", "", "maps.example", false},
        {"http://maps.example:8081", "", "maps.example:8080", false},
        {"null", "http://maps.example/", "maps.example", false},
        {"", "http://evil.example/maps.example", "maps.example", false},
        {"http://maps.example", "", "", false},  // no Host to be the same as
        {"ftp://maps.example", "", "maps.example", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fromOwnOrigin(c.origin, c.referer, c.host), c.own) << c.origin << " " << c.referer;
}
