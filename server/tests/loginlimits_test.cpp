// The limits on guessing, on a simulated clock: attacks on a device's login
// from other addresses or from its own, with the device trying its right
// password every few seconds from a freshly started server (nothing held).
#include <gtest/gtest.h>

#include "server/loginlimits.hpp"

namespace {

using namespace loginlimit;

struct Attack {
    const char* name;
    int addresses;  // the attacker's, taken in turn
    double guessesPerSecond;
    bool fromDeviceAddress;  // the attacker shares the device's address
    bool deviceKnown;        // its address is that of its last stored position
    double seconds;          // then the attack stops
    double deviceInWithin;   // seconds from the start (or from the attack's end when shared)
};

TEST(LoginLimits, LetTheRightPasswordInUnderAttack) {
    constexpr Attack attacks[] = {
        {"one address, fast", 1, 50, false, false, 120, 30},
        {"25 addresses", 25, 50, false, false, 120, 30},
        {"5000 addresses, the device's known", 5000, 200, false, true, 120, 30},
        {"from the device's own address", 1, 20, true, false, 60, 30},
        {"from the device's own known address", 1, 20, true, true, 60, 30},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        Limits limits;
        const Clock::time_point start{};
        const std::string device = "192.0.2.1";
        int verifications = 0;
        double deviceIn = -1;
        const double step = 1 / attack.guessesPerSecond;
        double nextDeviceTry = 2;  // the attack has begun
        if (attack.deviceKnown) addKnownAddress(limits, "dev", device, start);
        for (int i = 0; deviceIn < 0 && i * step < attack.seconds + 120; ++i) {
            const double t = i * step;
            const auto now =
                start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t));
            if (t < attack.seconds) {
                const std::string address =
                    attack.fromDeviceAddress ? device : "198.51.100." + std::to_string(i % attack.addresses);
                if (!limited(limits, "dev", address, now) && admitVerification(limits, "dev", address, now)) {
                    ++verifications;
                    recordFailure(limits, "dev", address, now);
                }
            }
            if (t >= nextDeviceTry) {
                nextDeviceTry = t + 5;
                if (!limited(limits, "dev", device, now) && admitVerification(limits, "dev", device, now)) {
                    ++verifications;
                    deviceIn = t;
                }
            }
        }
        const double allowed =
            attack.fromDeviceAddress ? attack.seconds + attack.deviceInWithin : attack.deviceInWithin;
        EXPECT_GE(deviceIn, 0) << "the device never got in";
        EXPECT_LE(deviceIn, allowed);
        if (attack.fromDeviceAddress) {
            EXPECT_GE(deviceIn, attack.seconds) << "guesses outran the limit";
        }
        // A few verifications a second at most, whatever the spread.
        const double elapsed = std::min(deviceIn, attack.seconds);
        EXPECT_LE(verifications, cleanBurst + suspectBurst + knownBurst +
                                     elapsed * (cleanPerSecond + suspectPerSecond + knownPerSecond) + 1);
    }
}

// Guesses of logins that do not exist draw on one allowance, however many
// addresses they come from: a burst, then unknownPerSecond.
TEST(LoginLimits, ShareOneAllowanceForUnknownLogins) {
    Limits limits;
    const Clock::time_point start{std::chrono::hours(1)};
    int admitted = 0;
    for (int i = 0; i < 1000; ++i) {
        const auto now = start + std::chrono::milliseconds(i * 10);  // 100 a second for 10 s
        admitted += admitUnknownVerification(limits, now) ? 1 : 0;
        recordFailure(limits, {}, "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250), now);
    }
    EXPECT_GE(admitted, static_cast<int>(unknownBurst + 9 * unknownPerSecond));
    EXPECT_LE(admitted, static_cast<int>(unknownBurst + 10 * unknownPerSecond) + 1);
    // A known login's own allowance is not touched.
    EXPECT_TRUE(admitVerification(limits, "device", "192.0.2.7", start + std::chrono::seconds(10)));
}

TEST(LoginLimits, CountAnIpv6SiteAsOneAddress) {
    struct Case {
        const char* address;
        const char* key;
    };
    constexpr Case cases[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
        {"2001:db8::1", "2001:db8::/64"},
        {"::1", "::/64"},
    };
    for (const Case& c : cases) EXPECT_EQ(addressKey(c.address), c.key) << c.address;
}

}  // namespace
