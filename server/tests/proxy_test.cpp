// The client's address behind trusted reverse proxies: which X-Forwarded-For
// entry is believed, and from whom.
#include <gtest/gtest.h>

#include "server/proxy.hpp"

namespace {

std::vector<AddressRange> ranges(const std::vector<std::string>& texts) {
    std::vector<AddressRange> result;
    for (const std::string& text : texts) {
        AddressRange range;
        EXPECT_TRUE(parseAddressRange(text, range)) << text;
        result.push_back(range);
    }
    return result;
}

TEST(TrustedProxy, ReadsRangesAndRefusesTheRest) {
    struct Case {
        std::string range;
        std::string address;
        bool inside;
    };
    const Case cases[] = {
        {"192.0.2.7", "192.0.2.7", true},          {"192.0.2.7", "192.0.2.8", false},
        {"192.0.2.0/24", "192.0.2.255", true},     {"192.0.2.0/24", "192.0.3.1", false},
        {"10.0.0.0/8", "10.200.1.1", true},        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "2001:db8::1", false},       {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false},   {"::1", "::1", true},
        {"127.0.0.0/8", "::ffff:127.0.0.3", true}, {"192.0.2.0/25", "192.0.2.128", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range + " " + c.address);
        EXPECT_EQ(addressTrusted(c.address, ranges({c.range})), c.inside);
    }
    for (const char* bad : {"", "/8", "192.0.2.0/33", "2001:db8::/129", "192.0.2.0/", "192.0.2.0/x",
                            "example.org", "192.0.2.0/-1", "[::1]"}) {
        AddressRange range;
        EXPECT_FALSE(parseAddressRange(bad, range)) << bad;
    }
}

TEST(TrustedProxy, BelievesOnlyTrustedPeersAndTheRightmostUntrustedEntry) {
    struct Case {
        std::string peer;
        std::vector<std::string> forwarded;  // one X-Forwarded-For header each
        std::string client;
    };
    const std::vector<AddressRange> trusted = ranges({"127.0.0.3", "10.0.0.0/8", "2001:db8::/32"});
    const Case cases[] = {
        {"127.0.0.3", {"198.51.100.4"}, "198.51.100.4"},
        {"127.0.0.3", {}, "127.0.0.3"},
        {"127.0.0.9", {"198.51.100.4"}, "127.0.0.9"},  // not a trusted peer: the header is ignored
        {"127.0.0.3", {"6.6.6.6, 198.51.100.4"}, "198.51.100.4"},   // a forged entry left of the real one
        {"127.0.0.3", {"198.51.100.4, 10.1.2.3"}, "198.51.100.4"},  // through two trusted proxies
        {"127.0.0.3", {"6.6.6.6", "198.51.100.4 , 10.1.2.3"}, "198.51.100.4"},
        {"127.0.0.3", {"10.9.9.9, 10.1.2.3"}, "10.9.9.9"},  // every entry trusted: the leftmost
        {"127.0.0.3", {"not-an-address, 10.1.2.3"}, "10.1.2.3"},
        {"127.0.0.3", {"garbage"}, "127.0.0.3"},
        {"127.0.0.3", {"2001:db8::5, 2001:db9::7"}, "2001:db9::7"},
        {"127.0.0.3", {"[2001:db9::7]:4711"}, "2001:db9::7"},
        {"127.0.0.3", {"198.51.100.4:1234"}, "198.51.100.4"},
        {"2001:db8::1", {"::ffff:198.51.100.4"}, "198.51.100.4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.peer + " " + testing::PrintToString(c.forwarded));
        HttpRequest request;
        for (const std::string& value : c.forwarded) request.headers.push_back({"x-forwarded-for", value});
        request.headers.push_back({"Host", "192.0.2.1"});
        EXPECT_EQ(forwardedClient(c.peer, request, trusted), c.client);
    }
    HttpRequest request;
    request.headers.push_back({"X-Forwarded-For", "198.51.100.4"});
    EXPECT_EQ(forwardedClient("127.0.0.3", request, {}), "127.0.0.3");  // no --trusted-proxy
}

}  // namespace
