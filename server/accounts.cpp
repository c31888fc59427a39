// Accounts: Argon2id hashes, the directory read from the storage, the cache
// of accepted passwords and the limits on failures.
//
// Divisions: passwords; the directory; limits; the checks.
#include "server/accounts.hpp"

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "server/metrics.hpp"

// ---- Passwords -------------------------------------------------------------------

std::string hashPassword(std::string_view password) {
    if (sodium_init() < 0) return {};
    std::array<char, crypto_pwhash_STRBYTES> hash{};
    if (crypto_pwhash_str_alg(hash.data(), password.data(), password.size(),
                              crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return {};
    return hash.data();
}

namespace {

bool verifyPassword(const std::string& hash, std::string_view password) {
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

CachedPassword digestOf(const Accounts& accounts, std::string_view password, std::int64_t version) {
    CachedPassword cached{{}, version};
    crypto_generichash(cached.digest.data(), cached.digest.size(),
                       reinterpret_cast<const unsigned char*>(password.data()), password.size(),
                       accounts.digestKey.data(), accounts.digestKey.size());
    return cached;
}

// One line from the terminal with echo off.
bool readHiddenLine(const char* prompt, std::string& line) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
    return read;
}

}  // namespace

bool readNewPassword(std::string& password, std::string& error) {
    if (isatty(STDIN_FILENO) != 0) {
        std::string again;
        if (!readHiddenLine("Password: ", password) || !readHiddenLine("Password again: ", again)) {
            error = "no password given";
            return false;
        }
        if (password != again) {
            error = "the passwords differ";
            return false;
        }
    } else if (!std::getline(std::cin, password)) {
        error = "no password on standard input";
        return false;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty() || password.size() > passwordMaxBytes) {
        error = "a password has 1 to " + std::to_string(passwordMaxBytes) + " bytes";
        return false;
    }
    return true;
}

// ---- The directory --------------------------------------------------------------------

namespace {

// Reads every account again; cached passwords of accounts that changed or
// went are dropped. Called with accounts.storageMutex held.
bool loadDirectory(Accounts& accounts, std::int64_t generation) {
    std::vector<Account> list;
    if (!accounts.storage->listAccounts(list)) return false;
    std::map<std::string, Account, std::less<>> directory;
    for (Account& account : list) directory.emplace(account.login, std::move(account));
    const std::lock_guard lock(accounts.mutex);
    for (auto it = accounts.accepted.begin(); it != accounts.accepted.end();) {
        const auto found = directory.find(it->first);
        if (found == directory.end() || found->second.version != it->second.version) {
            it = accounts.accepted.erase(it);
        } else {
            ++it;
        }
    }
    accounts.directory.swap(directory);
    accounts.generation = generation;
    return true;
}

}  // namespace

std::unique_ptr<Accounts> openAccounts(std::string_view database, std::string& error) {
    if (sodium_init() < 0) {
        error = "libsodium cannot start";
        return nullptr;
    }
    auto accounts = std::make_unique<Accounts>();
    randombytes_buf(accounts->digestKey.data(), accounts->digestKey.size());
    accounts->database = database;
    accounts->storage = openStorage(database, error);
    if (accounts->storage == nullptr) return nullptr;
    if (!refreshAccounts(*accounts)) {
        error = "cannot read the accounts";
        if (accounts->storage != nullptr) error += ": " + accounts->storage->lastError();
        return nullptr;
    }
    return accounts;
}

bool refreshAccounts(Accounts& accounts) {
    const std::lock_guard storageLock(accounts.storageMutex);
    std::int64_t generation = 0;
    if (accounts.storage == nullptr || !accounts.storage->accountsGeneration(generation)) {
        // A database server that restarted drops its connections: connect again.
        std::string error;
        accounts.storage = openStorage(accounts.database, error);
        if (accounts.storage == nullptr || !accounts.storage->accountsGeneration(generation)) return false;
    }
    {
        const std::lock_guard lock(accounts.mutex);
        if (generation == accounts.generation) return true;
    }
    return loadDirectory(accounts, generation);
}

// ---- Limits ------------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

struct Limit {
    double capacity;
    double drainSeconds;
};
constexpr Limit loginLimit{loginFailureCapacity, loginFailureDrainSeconds};
constexpr Limit clientLimit{clientFailureCapacity, clientFailureDrainSeconds};
constexpr std::size_t bucketsMax = 100000;  // per kind; the oldest are forgotten beyond

// The level of a bucket now, drained since it was last touched.
double levelNow(const FailureBucket& bucket, const Limit& limit, Clock::time_point now) {
    const double drained = std::chrono::duration<double>(now - bucket.updated).count() / limit.drainSeconds;
    return std::max(0.0, bucket.level - drained);
}

bool isFull(const std::map<std::string, FailureBucket, std::less<>>& buckets, std::string_view key,
            const Limit& limit, Clock::time_point now) {
    // Full once no whole failure fits: after capacity failures in a row, one
    // more is allowed each time one has drained.
    const auto found = buckets.find(key);
    return found != buckets.end() && levelNow(found->second, limit, now) > limit.capacity - 1;
}

void addFailure(std::map<std::string, FailureBucket, std::less<>>& buckets, std::string_view key,
                const Limit& limit, Clock::time_point now) {
    if (buckets.size() >= bucketsMax && buckets.find(key) == buckets.end()) {
        // Forget the buckets that have drained; if none has, the first.
        for (auto it = buckets.begin(); it != buckets.end();) {
            it = levelNow(it->second, limit, now) <= 0 ? buckets.erase(it) : std::next(it);
        }
        if (buckets.size() >= bucketsMax) buckets.erase(buckets.begin());
    }
    FailureBucket& bucket = buckets[std::string(key)];
    bucket.level = std::min(levelNow(bucket, limit, now) + 1, limit.capacity);
    bucket.updated = now;
}

}  // namespace

// ---- The checks ----------------------------------------------------------------------------

namespace {

enum class Quick { decided, needsVerification };

// Everything that can be decided without the slow hash, under accounts.mutex.
Quick decideQuickly(Accounts& accounts, std::string_view login, std::string_view password,
                    std::string_view client, AccountCheck& check, Account& account) {
    const auto now = Clock::now();
    if (isFull(accounts.clientFailures, client, clientLimit, now) ||
        isFull(accounts.loginFailures, login, loginLimit, now)) {
        check = {AccountVerdict::limited, 0, false};
        countLimitedRequest();
        return Quick::decided;
    }
    const auto found = accounts.directory.find(login);
    if (found == accounts.directory.end()) {
        addFailure(accounts.clientFailures, client, clientLimit, now);
        check = {AccountVerdict::unknownLogin, 0, false};
        return Quick::decided;
    }
    account = found->second;
    const auto cached = accounts.accepted.find(login);
    if (cached != accounts.accepted.end() && cached->second.version == account.version) {
        const CachedPassword offered = digestOf(accounts, password, account.version);
        if (sodium_memcmp(offered.digest.data(), cached->second.digest.data(), offered.digest.size()) == 0) {
            check = {account.enabled ? AccountVerdict::accepted : AccountVerdict::disabled, account.id,
                     account.admin};
            return Quick::decided;
        }
    }
    return Quick::needsVerification;
}

}  // namespace

bool checkAccountQuickly(Accounts& accounts, std::string_view login, std::string_view password,
                         std::string_view client, AccountCheck& check) {
    Account account;
    const std::lock_guard lock(accounts.mutex);
    return decideQuickly(accounts, login, password, client, check, account) == Quick::decided;
}

AccountCheck checkAccount(Accounts& accounts, std::string_view login, std::string_view password,
                          std::string_view client) {
    AccountCheck check;
    Account account;
    {
        const std::lock_guard lock(accounts.mutex);
        if (decideQuickly(accounts, login, password, client, check, account) == Quick::decided) return check;
    }
    // The slow hash, outside the lock: other checks go on meanwhile.
    const bool verified =
        password.size() <= passwordMaxBytes && verifyPassword(account.passwordHash, password);
    const auto now = Clock::now();
    const std::lock_guard lock(accounts.mutex);
    if (!verified) {
        addFailure(accounts.loginFailures, login, loginLimit, now);
        addFailure(accounts.clientFailures, client, clientLimit, now);
        return {AccountVerdict::wrongPassword, 0, false};
    }
    // Kept only while the account is as it was when its hash was read.
    const auto current = accounts.directory.find(login);
    if (current != accounts.directory.end() && current->second.version == account.version) {
        accounts.accepted.insert_or_assign(std::string(login), digestOf(accounts, password, account.version));
    }
    accounts.loginFailures.erase(std::string(login));
    return {account.enabled ? AccountVerdict::accepted : AccountVerdict::disabled, account.id, account.admin};
}
