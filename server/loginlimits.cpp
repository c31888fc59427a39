// Limits on password guessing: leaky buckets of failures per address and per
// login and address, and two token buckets of verifications per login.
#include "server/loginlimits.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace loginlimit {

namespace {

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::max(0.0, std::chrono::duration<double>(to - from).count());
}

// Failures left in a bucket that drains one every drainSeconds.
double failuresNow(const Bucket& bucket, double drainSeconds, Clock::time_point now) {
    return std::max(0.0, bucket.level - secondsBetween(bucket.updated, now) / drainSeconds);
}

// Full once no whole failure fits: after capacity failures in a row, one more
// is let through each time one has drained.
bool full(const std::map<std::string, Bucket, std::less<>>& buckets, std::string_view key, double capacity,
          double drainSeconds, Clock::time_point now) {
    const auto found = buckets.find(key);
    return found != buckets.end() && failuresNow(found->second, drainSeconds, now) > capacity - 1;
}

// Makes room for one more entry: drained buckets go first, else the first.
template <typename Value, typename Drained>
void makeRoom(std::map<std::string, Value, std::less<>>& table, std::string_view key, Drained drained) {
    if (table.size() < entriesMax || table.find(key) != table.end()) return;
    std::erase_if(table, [&](const auto& entry) { return drained(entry.second); });
    if (table.size() >= entriesMax) table.erase(table.begin());
}

void addFailure(std::map<std::string, Bucket, std::less<>>& buckets, std::string_view key, double capacity,
                double drainSeconds, Clock::time_point now) {
    makeRoom(buckets, key, [&](const Bucket& b) {
        return failuresNow(b, drainSeconds, now) <= 0 && now - b.lastFailure > suspectTime;
    });
    Bucket& bucket = buckets[std::string(key)];
    bucket.level = std::min(failuresNow(bucket, drainSeconds, now) + 1, capacity);
    bucket.updated = now;
    bucket.lastFailure = now;
}

std::string pairKey(std::string_view login, std::string_view addressKey) {
    std::string key(login);
    key += '\n';
    key += addressKey;
    return key;
}

// Takes a token from a bucket that refills perSecond up to burst.
bool takeToken(Bucket& tokens, double burst, double perSecond, Clock::time_point now) {
    tokens.level = std::min(burst, tokens.level + secondsBetween(tokens.updated, now) * perSecond);
    tokens.updated = now;
    if (tokens.level < 1) return false;
    tokens.level -= 1;
    return true;
}

// The allowance of a login, full when new. Logins without an address known
// and whose tokens are all back are forgotten first when the table is full.
Allowance& allowanceOf(Limits& limits, std::string_view login, Clock::time_point now) {
    makeRoom(limits.logins, login, [&](const Allowance& a) {
        return a.knownAddresses.empty() &&
               secondsBetween(a.clean.updated, now) * cleanPerSecond >= cleanBurst &&
               secondsBetween(a.suspect.updated, now) * suspectPerSecond >= suspectBurst;
    });
    Allowance& allowance = limits.logins[std::string(login)];
    if (!allowance.started) {
        allowance.known = {knownBurst, now, {}};
        allowance.clean = {cleanBurst, now, {}};
        allowance.suspect = {suspectBurst, now, {}};
        allowance.started = true;
    }
    return allowance;
}

}  // namespace

std::string addressKey(std::string_view address) {
    const std::string text(address);
    std::array<unsigned char, 16> bytes{};
    if (text.find(':') == std::string::npos || inet_pton(AF_INET6, text.c_str(), bytes.data()) != 1)
        return text;
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    std::array<char, INET6_ADDRSTRLEN> prefix{};
    inet_ntop(AF_INET6, bytes.data(), prefix.data(), prefix.size());
    return std::string(prefix.data()) + "/64";
}

bool limited(Limits& limits, std::string_view login, std::string_view addressKey, Clock::time_point now) {
    return full(limits.addresses, addressKey, addressCapacity, addressDrainSeconds, now) ||
           (!login.empty() &&
            full(limits.pairs, pairKey(login, addressKey), pairCapacity, pairDrainSeconds, now));
}

bool admitVerification(Limits& limits, std::string_view login, std::string_view addressKey,
                       Clock::time_point now) {
    const auto pair = limits.pairs.find(pairKey(login, addressKey));
    const bool suspect = pair != limits.pairs.end() && now - pair->second.lastFailure < suspectTime;
    Allowance& allowance = allowanceOf(limits, login, now);
    const auto& known = allowance.knownAddresses;
    if (std::find(known.begin(), known.end(), addressKey) != known.end())
        return takeToken(allowance.known, knownBurst, knownPerSecond, now);
    return suspect ? takeToken(allowance.suspect, suspectBurst, suspectPerSecond, now)
                   : takeToken(allowance.clean, cleanBurst, cleanPerSecond, now);
}

bool admitUnknownVerification(Limits& limits, Clock::time_point now) {
    if (limits.unknownLogins.updated == Clock::time_point{}) limits.unknownLogins.updated = now;
    return takeToken(limits.unknownLogins, unknownBurst, unknownPerSecond, now);
}

void recordFailure(Limits& limits, std::string_view login, std::string_view addressKey,
                   Clock::time_point now) {
    addFailure(limits.addresses, addressKey, addressCapacity, addressDrainSeconds, now);
    if (!login.empty())
        addFailure(limits.pairs, pairKey(login, addressKey), pairCapacity, pairDrainSeconds, now);
}

void recordSuccess(Limits& limits, std::string_view login, std::string_view addressKey,
                   Clock::time_point now) {
    const auto found = limits.pairs.find(pairKey(login, addressKey));
    if (found != limits.pairs.end()) limits.pairs.erase(found);
    addKnownAddress(limits, login, addressKey, now);
}

bool knownAt(const Limits& limits, std::string_view login, std::string_view addressKey) {
    const auto found = limits.logins.find(login);
    if (found == limits.logins.end()) return false;
    const auto& known = found->second.knownAddresses;
    return std::find(known.begin(), known.end(), addressKey) != known.end();
}

void addKnownAddress(Limits& limits, std::string_view login, std::string_view addressKey,
                     Clock::time_point now) {
    std::vector<std::string>& known = allowanceOf(limits, login, now).knownAddresses;
    std::erase(known, addressKey);
    known.insert(known.begin(), std::string(addressKey));
    if (known.size() > knownAddressesMax) known.pop_back();
}

}  // namespace loginlimit
