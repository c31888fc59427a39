#include "server/shares.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(ShareTokens, AreRandomOfTheirFormAndDigestedApart) {
    std::set<std::string> tokens, digests;
    for (int i = 0; i < 100; ++i) {
        const std::string token = newShareToken();
        EXPECT_TRUE(looksLikeShareToken(token)) << token;
        const std::string digest = shareTokenDigest(token);
        EXPECT_EQ(digest.size(), 64U) << token;
        EXPECT_EQ(digest, shareTokenDigest(token)) << token;
        EXPECT_TRUE(sameShareDigest(digest, shareTokenDigest(token))) << token;
        EXPECT_EQ(digest.find(token), std::string::npos) << token;
        tokens.insert(token);
        digests.insert(digest);
    }
    EXPECT_EQ(tokens.size(), 100U);
    EXPECT_EQ(digests.size(), 100U);
    EXPECT_FALSE(sameShareDigest(shareTokenDigest("a"), shareTokenDigest("b")));
    EXPECT_FALSE(sameShareDigest(shareTokenDigest("a"), shareTokenDigest("a").substr(1)));
}

TEST(ShareTokens, OnlyTheirFormIsLookedUp) {
    struct Case {
        const char* text;
        bool token;
    };
    const Case cases[] = {
        {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", true},
        {"abc-_0123456789xyzXYZabcdefghijk", true},
        {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", false},    // 31
        {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", false},  // 33
        {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", false},
        {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA/", false},
        {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA+", false},
        {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAA%41", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(looksLikeShareToken(c.text), c.token) << c.text;
}

TEST(ShareTokens, StayOutOfTheLog) {
    struct Case {
        const char* path;
        const char* logged;
    };
    const Case cases[] = {
        {"/s/abcdefghijklmnopqrstuvwxyz012345", "/s/abcdef..."},
        {"/s/abcdefghijklmnopqrstuvwxyz012345/live", "/s/abcdef.../live"},
        {"/s/abcdefghijklmnopqrstuvwxyz012345/", "/s/abcdef.../"},
        {"/s/abcdefghijklmnopqrstuvwxyz012345/abcdefghijklmnopqrstuvwxyz012345", "/s/abcdef.../..."},
        {"/api/shares/abcdefghijklmnopqrstuvwxyz012345", "/api/shares/abcdef..."},
        {"/api/shares/17", "/api/shares/17"},
        {"/s/abc", "/s/abc"},
        {"/api/shares", "/api/shares"},
        {"/api/devices", "/api/devices"},
        {"/static/share.js", "/static/share.js"},
    };
    for (const Case& c : cases) EXPECT_EQ(logSafePath(c.path), c.logged) << c.path;
}
