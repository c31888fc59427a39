// Limits on password guessing that never lock a device out.
//
// A right password is never refused for being guessed at by others:
//  - failures are counted per address (every login) and per login and
//    address together, so guesses from elsewhere never count against the
//    device's own address;
//  - slow verifications of one login are rationed at a few per second,
//    from three allowances: one for the addresses the login last succeeded
//    from (kept in this run, and the address of its last stored position,
//    so also after a restart), one for addresses that have not failed on
//    that login lately, and one for those that have (the guessers). Guessers
//    from any number of addresses cannot use up the device's share, unless
//    they share its address, where the pair's bucket holds them.
// A request that is limited is not verified and must be told to try again
// later ("0"), never that its password is wrong.
//
// Addresses are counted as the client address text, IPv6 by its /64 (one
// site's prefix, which one attacker holds whole). Not thread-safe: the
// caller locks.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace loginlimit {

using Clock = std::chrono::steady_clock;

// Failures from one address, any login: a burst of 30, then one per 10 s.
constexpr double addressCapacity = 30;
constexpr double addressDrainSeconds = 10;
// Failures for one login from one address: a burst of 5, then one per 20 s.
constexpr double pairCapacity = 5;
constexpr double pairDrainSeconds = 20;
// An address that failed on a login within this time draws on that login's
// allowance for failed addresses (the pair's bucket records the last failure).
constexpr std::chrono::seconds suspectTime{600};
// Slow verifications of one login, per allowance: a burst, then a steady rate.
constexpr double cleanBurst = 5;
constexpr double cleanPerSecond = 1;
constexpr double suspectBurst = 5;
constexpr double suspectPerSecond = 0.5;
constexpr double knownBurst = 5;
constexpr double knownPerSecond = 1;
constexpr std::size_t knownAddressesMax = 4;  // a device on a few networks in turn
// Slow verifications of logins that do not exist (the web side spends a
// decoy's work on them), all together from every address: guessers of
// random logins share this one allowance however many addresses they hold.
constexpr double unknownBurst = 10;
constexpr double unknownPerSecond = 2;
// Entries kept per table at most; drained ones are forgotten first.
constexpr std::size_t entriesMax = 100000;

struct Bucket {
    double level = 0;  // failures not yet drained, or tokens left
    Clock::time_point updated;
    Clock::time_point lastFailure;
};

struct Allowance {
    Bucket known;    // tokens for the addresses below
    Bucket clean;    // tokens for addresses without a recent failure on the login
    Bucket suspect;  // tokens for the others
    bool started = false;
    std::vector<std::string> knownAddresses;  // where the login last succeeded, newest first
};

struct Limits {
    std::map<std::string, Bucket, std::less<>> addresses;  // by address key
    std::map<std::string, Bucket, std::less<>> pairs;      // by login "\n" address key
    std::map<std::string, Allowance, std::less<>> logins;  // by login
    Bucket unknownLogins{unknownBurst, {}, {}};            // tokens for verifying logins that do not exist
};

// The key an address is counted under: "192.0.2.7" as it is, an IPv6
// address as its first four groups ("2001:db8:1:2::/64").
std::string addressKey(std::string_view address);

// True when requests from this address, or for this login from it, are not
// to be verified now.
bool limited(Limits& limits, std::string_view login, std::string_view addressKey, Clock::time_point now);

// Takes one slow verification of login for an address from the allowance it
// draws on; false when that allowance is spent (the request is limited).
bool admitVerification(Limits& limits, std::string_view login, std::string_view addressKey,
                       Clock::time_point now);

// Takes one slow verification of a login that does not exist, from the
// allowance every address shares; false when it is spent.
bool admitUnknownVerification(Limits& limits, Clock::time_point now);

// A wrong password for login (or an unknown login, counted against the
// address only when login is empty).
void recordFailure(Limits& limits, std::string_view login, std::string_view addressKey,
                   Clock::time_point now);

// A right password: the pair's failures are forgotten and the address is
// one the login is known at.
void recordSuccess(Limits& limits, std::string_view login, std::string_view addressKey,
                   Clock::time_point now);

// True when the login is known at the address (its checks go first).
bool knownAt(const Limits& limits, std::string_view login, std::string_view addressKey);

// Marks an address as one the login is known at (the address of its last
// stored position, when the server starts).
void addKnownAddress(Limits& limits, std::string_view login, std::string_view addressKey,
                     Clock::time_point now);

}  // namespace loginlimit
