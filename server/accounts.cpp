// Accounts: Argon2id hashes, the directory read from the storage, the cache
// of accepted passwords, and the checks under the limits on guessing.
//
// Divisions: passwords; the directory; the checks.
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

std::string makeDeviceKey() {
    constexpr std::string_view alphabet = "abcdefghijklmnopqrstuvwxyz234567";
    if (sodium_init() < 0) return {};
    std::string key(deviceKeyChars, ' ');
    for (char& c : key) c = alphabet[randombytes_uniform(static_cast<std::uint32_t>(alphabet.size()))];
    return key;
}

std::string keyDigestOf(std::string_view key) {
    std::string lower(key);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::array<unsigned char, 32> digest{};
    crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(lower.data()),
                       lower.size(), nullptr, 0);
    std::array<char, 2 * 32 + 1> hex{};
    sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
    return hex.data();
}

namespace {

// True when offered is the key whose digest is stored, in constant time.
bool keyMatches(const std::string& storedDigest, std::string_view offered) {
    const std::string digest = keyDigestOf(offered);
    return storedDigest.size() == digest.size() &&
           sodium_memcmp(storedDigest.data(), digest.data(), digest.size()) == 0;
}

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
    // Each device's last address is known to the limits from the start, so
    // that guessing from elsewhere never holds it up after a restart.
    std::vector<StoredPosition> last;
    if (!accounts->storage->lastPositions(last)) {
        std::fprintf(stderr,
                     "wayloom-server: cannot read the devices' last positions, so their usual addresses are "
                     "known only once they report: %s\n",
                     accounts->storage->lastError().c_str());
        return accounts;
    }
    std::size_t known = 0;
    {
        const std::lock_guard lock(accounts->mutex);
        std::map<std::int64_t, std::string> logins;
        for (const auto& [login, account] : accounts->directory) logins.emplace(account.id, login);
        for (const StoredPosition& stored : last) {
            const auto found = logins.find(stored.position.accountId);
            if (found == logins.end()) continue;
            loginlimit::addKnownAddress(accounts->limits, found->second,
                                        loginlimit::addressKey(stored.position.client),
                                        std::chrono::steady_clock::now());
            ++known;
        }
    }
    std::fprintf(stderr, "wayloom-server: the usual addresses of %zu devices loaded\n", known);
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

// ---- The checks ----------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

// A hash no password opens (its password is random and forgotten), verified
// in place of an unknown login's so that both take the same time.
const std::string& decoyHash() {
    static const std::string hash = [] {
        std::array<unsigned char, 24> secret{};
        randombytes_buf(secret.data(), secret.size());
        return hashPassword(std::string_view(reinterpret_cast<const char*>(secret.data()), secret.size()));
    }();
    return hash;
}

enum class Quick { decided, needsVerification };

// Everything that can be decided without the slow hash, under accounts.mutex.
// account.login is left empty for an unknown login that is to be verified
// like a known one.
Quick decideQuickly(Accounts& accounts, std::string_view login, std::string_view password,
                    std::string_view addressKey, UnknownLogins unknown, Clock::time_point now,
                    AccountCheck& check, Account& account) {
    const auto found = accounts.directory.find(login);
    if (found != accounts.directory.end()) {
        account = found->second;
        if (!account.keyDigest.empty()) {
            // A right key is taken whatever the limits say; a wrong one is
            // answered at once, or on the web after a decoy's verification
            // so that its timing tells no key from a password.
            if (keyMatches(account.keyDigest, password)) {
                check = {account.enabled ? AccountVerdict::accepted : AccountVerdict::disabled, account.id,
                         account.admin};
                return Quick::decided;
            }
            if (unknown == UnknownLogins::answeredAtOnce) {
                if (loginlimit::limited(accounts.limits, login, addressKey, now)) {
                    check = {AccountVerdict::limited, 0, false};
                    countLimitedRequest();
                } else {
                    loginlimit::recordFailure(accounts.limits, login, addressKey, now);
                    check = {AccountVerdict::wrongPassword, 0, false};
                }
                return Quick::decided;
            }
        }
        // A password accepted before is taken whatever the limits say.
        const auto cached = accounts.accepted.find(login);
        if (cached != accounts.accepted.end() && cached->second.version == account.version) {
            const CachedPassword offered = digestOf(accounts, password, account.version);
            if (sodium_memcmp(offered.digest.data(), cached->second.digest.data(), offered.digest.size()) ==
                0) {
                check = {account.enabled ? AccountVerdict::accepted : AccountVerdict::disabled, account.id,
                         account.admin};
                return Quick::decided;
            }
        }
    } else if (unknown == UnknownLogins::answeredAtOnce) {
        if (loginlimit::limited(accounts.limits, {}, addressKey, now)) {
            check = {AccountVerdict::limited, 0, false};
            countLimitedRequest();
        } else {
            loginlimit::recordFailure(accounts.limits, {}, addressKey, now);
            check = {AccountVerdict::unknownLogin, 0, false};
        }
        return Quick::decided;
    }
    if (loginlimit::limited(accounts.limits, login, addressKey, now)) {
        check = {AccountVerdict::limited, 0, false};
        countLimitedRequest();
        return Quick::decided;
    }
    return Quick::needsVerification;
}

// One of the verifierThreads places for a slow verification, held while it
// lives; a login at its usual address (urgent) takes the next free place
// before any other. Others wait at most verifierWait: past it, the work
// waiting is more than the verifiers do, and the request is limited rather
// than a thread more held (taken() is false). Waits on accounts.mutex.
class VerifierPlace {
  public:
    VerifierPlace(Accounts& accounts, bool urgent) : accounts_(accounts) {
        std::unique_lock lock(accounts.mutex);
        if (urgent) ++accounts.urgentWaiting;
        const auto placeFree = [&] {
            return accounts.verifying < verifierThreads && (urgent || accounts.urgentWaiting == 0);
        };
        if (urgent) {
            accounts.verifierFree.wait(lock, placeFree);
            --accounts.urgentWaiting;
        } else if (!accounts.verifierFree.wait_for(lock, verifierWait, placeFree)) {
            return;
        }
        ++accounts.verifying;
        taken_ = true;
    }
    ~VerifierPlace() {
        if (!taken_) return;
        {
            const std::lock_guard lock(accounts_.mutex);
            --accounts_.verifying;
        }
        accounts_.verifierFree.notify_all();
    }
    VerifierPlace(const VerifierPlace&) = delete;
    VerifierPlace& operator=(const VerifierPlace&) = delete;
    bool taken() const { return taken_; }

  private:
    Accounts& accounts_;
    bool taken_ = false;
};

}  // namespace

bool checkAccountQuickly(Accounts& accounts, std::string_view login, std::string_view password,
                         std::string_view client, AccountCheck& check) {
    Account account;
    const std::string key = loginlimit::addressKey(client);
    const std::lock_guard lock(accounts.mutex);
    return decideQuickly(accounts, login, password, key, UnknownLogins::answeredAtOnce, Clock::now(), check,
                         account) == Quick::decided;
}

AccountCheck checkDeviceKey(Accounts& accounts, std::string_view key, std::string_view client,
                            std::string& login) {
    // A digest of a random key tells nothing of the key, so it is looked up plainly.
    const std::string digest = key.empty() ? std::string() : keyDigestOf(key);
    const std::string addressKey = loginlimit::addressKey(client);
    const auto now = Clock::now();
    const std::lock_guard lock(accounts.mutex);
    for (const auto& [name, account] : accounts.directory) {
        if (digest.empty() || account.keyDigest != digest) continue;
        login = name;
        loginlimit::recordSuccess(accounts.limits, name, addressKey, now);
        return {account.enabled ? AccountVerdict::accepted : AccountVerdict::disabled, account.id,
                account.admin};
    }
    if (loginlimit::limited(accounts.limits, {}, addressKey, now)) {
        countLimitedRequest();
        return {AccountVerdict::limited, 0, false};
    }
    loginlimit::recordFailure(accounts.limits, {}, addressKey, now);
    return {AccountVerdict::unknownLogin, 0, false};
}

AccountCheck checkAccount(Accounts& accounts, std::string_view login, std::string_view password,
                          std::string_view client, UnknownLogins unknown) {
    AccountCheck check;
    Account account;
    const std::string key = loginlimit::addressKey(client);
    bool urgent = false;
    {
        const std::lock_guard lock(accounts.mutex);
        const auto now = Clock::now();
        if (decideQuickly(accounts, login, password, key, unknown, now, check, account) == Quick::decided)
            return check;
        const bool unknownLogin = account.login.empty();
        if ((unknownLogin && !loginlimit::admitUnknownVerification(accounts.limits, now)) ||
            !loginlimit::admitVerification(accounts.limits, login, key, now)) {
            countLimitedRequest();
            return {AccountVerdict::limited, 0, false};
        }
        urgent = loginlimit::knownAt(accounts.limits, login, key);
    }
    // The slow hash, outside the lock: other checks go on meanwhile.
    const bool known = !account.login.empty();
    const bool hashed = known && account.keyDigest.empty();  // else a wrong key: a decoy's time
    bool verified = false;
    {
        const VerifierPlace place(accounts, urgent);
        if (!place.taken()) {
            countLimitedRequest();
            return {AccountVerdict::limited, 0, false};
        }
        verified = password.size() <= passwordMaxBytes &&
                   verifyPassword(hashed ? account.passwordHash : decoyHash(), password) && hashed;
    }
    const auto now = Clock::now();
    const std::lock_guard lock(accounts.mutex);
    if (!verified) {
        loginlimit::recordFailure(accounts.limits, login, key, now);
        return {known ? AccountVerdict::wrongPassword : AccountVerdict::unknownLogin, 0, false};
    }
    // Kept only while the account is as it was when its hash was read.
    const auto current = accounts.directory.find(login);
    if (current != accounts.directory.end() && current->second.version == account.version) {
        accounts.accepted.insert_or_assign(std::string(login), digestOf(accounts, password, account.version));
    }
    loginlimit::recordSuccess(accounts.limits, login, key, now);
    return {account.enabled ? AccountVerdict::accepted : AccountVerdict::disabled, account.id, account.admin};
}

bool knownClient(Accounts& accounts, std::string_view login, std::string_view client) {
    const std::string key = loginlimit::addressKey(client);
    const std::lock_guard lock(accounts.mutex);
    return loginlimit::knownAt(accounts.limits, login, key);
}

bool guessingLimited(Accounts& accounts, std::string_view client) {
    const std::string key = loginlimit::addressKey(client);
    const std::lock_guard lock(accounts.mutex);
    if (!loginlimit::limited(accounts.limits, {}, key, Clock::now())) return false;
    countLimitedRequest();
    return true;
}

void recordWrongToken(Accounts& accounts, std::string_view client) {
    const std::string key = loginlimit::addressKey(client);
    const std::lock_guard lock(accounts.mutex);
    loginlimit::recordFailure(accounts.limits, {}, key, Clock::now());
}
