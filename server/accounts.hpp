// Accounts of wayloom-server: password hashes, the check of a login and
// password, and the limit on wrong passwords.
//
// Passwords are stored only as Argon2id hashes (libsodium), which take tens
// of milliseconds and 64 MiB to verify on purpose. Every report carries the
// password, so the slow hash is verified once; then a keyed BLAKE2b digest of
// the accepted password is kept in memory (the key is random and never leaves
// the process) and later reports are compared with it in constant time. The
// digest is dropped when the account changes.
//
// A device key is random (130 bits), so a fast digest of it is as safe to
// store as a slow hash of a password a person chose: it is checked in
// microseconds, also at the first report after a start, and never waits
// behind the slow hash. Give devices keys, people passwords.
//
// The directory of accounts is read from the storage at start and read again
// within refreshInterval of any change, made by this process or another.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "server/loginlimits.hpp"
#include "server/storage.hpp"

constexpr std::chrono::milliseconds accountsRefreshInterval{1000};
// Argon2id verifications at once, from report checkers and web sign-ins
// together: each holds 64 MiB while it runs.
constexpr int verifierThreads = 2;
// How long a check not at its login's usual address waits for a verifier
// before it is limited ("0", or the sign-in page's "wait"): more waiting
// means guesses arrive faster than the verifiers work.
constexpr std::chrono::seconds verifierWait{1};

enum class AccountVerdict {
    accepted,
    unknownLogin,   // answer "2"
    wrongPassword,  // answer "5"
    limited,        // guessing under way: not verified, answer "0" (try again later)
    disabled,       // answer "4"
    storageFailed   // the accounts could not be read: answer "0"
};

struct AccountCheck {
    AccountVerdict verdict = AccountVerdict::storageFailed;
    std::int64_t accountId = 0;  // when accepted or disabled
    bool admin = false;
};

// libsodium's Argon2id string for password; "" when hashing failed (no memory).
std::string hashPassword(std::string_view password);

constexpr std::size_t deviceKeyChars = 26;  // lowercase base32, 5 random bits each: 130 bits

// A new device key: deviceKeyChars characters of "a" to "z" and "2" to "7".
std::string makeDeviceKey();

// What is stored of a key: its BLAKE2b-256 digest in hex (64 characters),
// taken of the key in lowercase, so a key typed in capitals works too.
std::string keyDigestOf(std::string_view key);

// Reads a new password from the terminal without echo (twice, and they must
// match) or, when standard input is not a terminal, its first line.
bool readNewPassword(std::string& password, std::string& error);

struct CachedPassword {
    std::array<unsigned char, 32> digest;  // keyed BLAKE2b of the accepted password
    std::int64_t version;                  // of the account when it was accepted
};

// The accounts as the server knows them. Every field is guarded by mutex but
// storage, which storageMutex guards.
struct Accounts {
    std::mutex mutex;
    std::map<std::string, Account, std::less<>> directory;  // by login
    std::map<std::string, CachedPassword, std::less<>> accepted;
    loginlimit::Limits limits;  // on guessing (server/loginlimits.hpp)
    int verifying = 0;          // Argon2id verifications running, at most verifierThreads
    int urgentWaiting = 0;      // of logins at their usual address, which go first
    std::condition_variable verifierFree;
    std::int64_t generation = -1;
    std::array<unsigned char, 32> digestKey{};

    std::mutex storageMutex;
    std::string database;  // to connect again after the connection failed
    std::unique_ptr<Storage> storage;
};

// Opens the accounts of database and reads the directory; nullptr with error
// set when the storage cannot be opened. The Accounts keeps its own
// connection and may be shared by every thread.
std::unique_ptr<Accounts> openAccounts(std::string_view database, std::string& error);

// How much an answer may tell. Reports tell an unknown login ("2") from a
// wrong password ("5") at once; the web side spends the same work on both
// (a verification against a decoy hash), so its timing tells neither.
enum class UnknownLogins { answeredAtOnce, verifiedLikeKnown };

// Checks a login and password from client (an address text: the one the
// serving loop gives every request, Connection::client and HttpRequest::client,
// which is where a trusted proxy's forwarded address belongs), verifying the
// slow hash when needed: may take tens of milliseconds. Used by reports and
// by the web sign-in alike, so both share one limit on guessing and at most
// verifierThreads slow verifications run at once (a login at its usual
// address first, others limited after verifierWait). A password whose
// digest is held, or a device key, is
// accepted whatever the limits say and without waiting.
AccountCheck checkAccount(Accounts& accounts, std::string_view login, std::string_view password,
                          std::string_view client, UnknownLogins unknown = UnknownLogins::answeredAtOnce);

// The same check when it needs no slow verification (a cached password, an
// unknown or disabled login, a limit in force): true with check set, else
// false and checkAccount must be called (from a thread that may wait).
bool checkAccountQuickly(Accounts& accounts, std::string_view login, std::string_view password,
                         std::string_view client, AccountCheck& check);

// The account whose device key is key, for the protocols that send a key
// alone (a phone app's device id or token); decided at once. A key of no
// account is a failure of the client's address, as an unknown login is, and
// is answered unknownLogin (limited while that address is guessing). login
// is set to the account's, for the log.
AccountCheck checkDeviceKey(Accounts& accounts, std::string_view key, std::string_view client,
                            std::string& login);

// True when login last succeeded from client's address (in this run, or as
// the address of its last stored position): its verification goes first.
bool knownClient(Accounts& accounts, std::string_view login, std::string_view client);

// Reads the directory again when the accounts changed since it was read.
// Called every accountsRefreshInterval by the server.
bool refreshAccounts(Accounts& accounts);

// Share links are guessed at like passwords: a wrong token counts as a wrong
// password from client's address (any login), and while that address is
// limited no token from it is looked up.
bool guessingLimited(Accounts& accounts, std::string_view client);
void recordWrongToken(Accounts& accounts, std::string_view client);
