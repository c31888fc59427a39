// The account check: its verdicts, the cache of accepted passwords and when
// it is dropped, and the limits on failures, with a real SQLite storage and
// real Argon2id hashes.
#include <gtest/gtest.h>

#include <cctype>

#include "server/accounts.hpp"
#include "server/tests/test_database.hpp"

namespace {

struct Fixture {
    testdb::Database database{testdb::Kind::sqlite};
    std::unique_ptr<Storage> admin;  // as the account commands change it, from outside
    std::unique_ptr<Accounts> accounts;

    Fixture() {
        std::string error;
        admin = openStorage(database.name, error);
        add("alice", "right", true, true);
        add("bob", "bobpass", false, false);
        accounts = openAccounts(database.name, error);
        EXPECT_NE(accounts, nullptr) << error;
    }
    void add(const char* login, const char* password, bool admin_, bool enabled) {
        Account account;
        account.login = login;
        account.passwordHash = hashPassword(password);
        account.admin = admin_;
        account.enabled = enabled;
        ASSERT_EQ(admin->addAccount(account), AccountChange::done);
    }
    void addKeyed(const char* login, const std::string& key) {
        Account account;
        account.login = login;
        account.keyDigest = keyDigestOf(key);
        ASSERT_EQ(admin->addAccount(account), AccountChange::done);
    }
};

TEST(Accounts, MakeKeysAPersonCanCopy) {
    const std::string first = makeDeviceKey();
    const std::string second = makeDeviceKey();
    EXPECT_EQ(first.size(), deviceKeyChars);
    EXPECT_EQ(first.find_first_not_of("abcdefghijklmnopqrstuvwxyz234567"), std::string::npos) << first;
    EXPECT_NE(first, second);
    EXPECT_EQ(keyDigestOf(first).size(), 64u);
    EXPECT_NE(keyDigestOf(first), keyDigestOf(second));
}

// A key is decided without the slow hash, at once, whatever the limits say
// of a right one; the web side still spends a wrong password's time on a wrong one.
TEST(Accounts, CheckDeviceKeysQuickly) {
    Fixture f;
    const std::string key = makeDeviceKey();
    std::string upper = key;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    f.addKeyed("tracker", key);
    ASSERT_TRUE(refreshAccounts(*f.accounts));
    struct Case {
        std::string password;
        AccountVerdict verdict;
    };
    const Case cases[] = {
        {key, AccountVerdict::accepted},
        {upper, AccountVerdict::accepted},
        {key.substr(1), AccountVerdict::wrongPassword},
        {makeDeviceKey(), AccountVerdict::wrongPassword},
        {"", AccountVerdict::wrongPassword},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.password);
        AccountCheck check;
        ASSERT_TRUE(checkAccountQuickly(*f.accounts, "tracker", c.password, "192.0.2.30", check));
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_EQ(
            checkAccount(*f.accounts, "tracker", c.password, "192.0.2.31", UnknownLogins::verifiedLikeKnown)
                .verdict,
            c.verdict);
    }
    for (int i = 0; i < 40; ++i) checkAccount(*f.accounts, "tracker", "guess", "192.0.2.30");
    AccountCheck check;
    ASSERT_TRUE(checkAccountQuickly(*f.accounts, "tracker", "guess", "192.0.2.30", check));
    EXPECT_EQ(check.verdict, AccountVerdict::limited);
    ASSERT_TRUE(checkAccountQuickly(*f.accounts, "tracker", key, "192.0.2.30", check));
    EXPECT_EQ(check.verdict, AccountVerdict::accepted);
    // A password replaces the key, and the key works no more.
    ASSERT_EQ(f.admin->setPassword("tracker", hashPassword("now a password")), AccountChange::done);
    ASSERT_TRUE(refreshAccounts(*f.accounts));
    EXPECT_EQ(checkAccount(*f.accounts, "tracker", key, "192.0.2.32").verdict, AccountVerdict::wrongPassword);
    EXPECT_EQ(checkAccount(*f.accounts, "tracker", "now a password", "192.0.2.32").verdict,
              AccountVerdict::accepted);
}

TEST(Accounts, GiveEachVerdict) {
    Fixture f;
    struct Case {
        const char* login;
        const char* password;
        AccountVerdict verdict;
        bool admin;
    };
    constexpr Case cases[] = {
        {"alice", "right", AccountVerdict::accepted, true},
        {"alice", "wrong", AccountVerdict::wrongPassword, false},
        {"alice", "", AccountVerdict::wrongPassword, false},
        {"Alice", "right", AccountVerdict::unknownLogin, false},
        {"bob", "bobpass", AccountVerdict::disabled, false},
        {"bob", "wrong", AccountVerdict::wrongPassword, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.login) + " " + c.password);
        const AccountCheck check = checkAccount(*f.accounts, c.login, c.password, "192.0.2.1");
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_EQ(check.admin, c.admin);
    }
}

TEST(Accounts, KeepAnAcceptedPasswordUntilTheAccountChanges) {
    Fixture f;
    AccountCheck check;
    EXPECT_FALSE(checkAccountQuickly(*f.accounts, "alice", "right", "192.0.2.1", check));
    EXPECT_EQ(checkAccount(*f.accounts, "alice", "right", "192.0.2.1").verdict, AccountVerdict::accepted);
    ASSERT_TRUE(checkAccountQuickly(*f.accounts, "alice", "right", "192.0.2.1", check));
    EXPECT_EQ(check.verdict, AccountVerdict::accepted);
    // Another password is never taken from the cache.
    EXPECT_FALSE(checkAccountQuickly(*f.accounts, "alice", "righ", "192.0.2.1", check));

    ASSERT_EQ(f.admin->setPassword("alice", hashPassword("newer")), AccountChange::done);
    ASSERT_TRUE(refreshAccounts(*f.accounts));
    EXPECT_FALSE(checkAccountQuickly(*f.accounts, "alice", "right", "192.0.2.1", check));
    EXPECT_EQ(checkAccount(*f.accounts, "alice", "right", "192.0.2.1").verdict,
              AccountVerdict::wrongPassword);
    EXPECT_EQ(checkAccount(*f.accounts, "alice", "newer", "192.0.2.1").verdict, AccountVerdict::accepted);

    ASSERT_EQ(f.admin->setEnabled("alice", false), AccountChange::done);
    ASSERT_TRUE(refreshAccounts(*f.accounts));
    EXPECT_EQ(checkAccount(*f.accounts, "alice", "newer", "192.0.2.1").verdict, AccountVerdict::disabled);
}

TEST(Accounts, LimitGuessingWithoutAnsweringWrongPassword) {
    Fixture f;
    // alice's password is held; guesses from everywhere, her own address too.
    EXPECT_EQ(checkAccount(*f.accounts, "alice", "right", "192.0.2.1").verdict, AccountVerdict::accepted);
    for (int i = 0; i < 40; ++i) {
        checkAccount(*f.accounts, "alice", "guess", i % 2 == 0 ? "192.0.2.1" : "198.51.100.7");
        checkAccount(*f.accounts, "nobody" + std::to_string(i), "x", "192.0.2.1");
    }
    AccountCheck check;
    ASSERT_TRUE(checkAccountQuickly(*f.accounts, "alice", "right", "192.0.2.1", check));
    EXPECT_EQ(check.verdict, AccountVerdict::accepted);
    // Beyond the limit nothing is verified, and nobody is told "wrong password".
    EXPECT_EQ(checkAccount(*f.accounts, "alice", "guess", "198.51.100.7").verdict, AccountVerdict::limited);
    EXPECT_EQ(checkAccount(*f.accounts, "bob", "bobpass", "192.0.2.1").verdict, AccountVerdict::limited);
    EXPECT_EQ(checkAccount(*f.accounts, "bob", "bobpass", "192.0.2.2").verdict, AccountVerdict::disabled);
    // An IPv6 site counts as one address.
    f.add("carol", "carolpass", false, true);
    ASSERT_TRUE(refreshAccounts(*f.accounts));
    for (int i = 0; i < static_cast<int>(loginlimit::pairCapacity); ++i)
        checkAccount(*f.accounts, "carol", "guess", "2001:db8:1:2::" + std::to_string(i + 1));
    EXPECT_EQ(checkAccount(*f.accounts, "carol", "carolpass", "2001:db8:1:2:ffff::9").verdict,
              AccountVerdict::limited);
    EXPECT_EQ(checkAccount(*f.accounts, "carol", "carolpass", "2001:db8:1:3::9").verdict,
              AccountVerdict::accepted);
}

TEST(Accounts, SpendTheSameWorkOnUnknownLoginsAtTheWebSide) {
    Fixture f;
    using Clock = std::chrono::steady_clock;
    const auto timed = [&](const char* login, const char* client, UnknownLogins unknown,
                           AccountVerdict& verdict) {
        const auto started = Clock::now();
        verdict = checkAccount(*f.accounts, login, "guess", client, unknown).verdict;
        return std::chrono::duration<double>(Clock::now() - started).count();
    };
    AccountVerdict verdict{};
    timed("nobody", "192.0.2.9", UnknownLogins::verifiedLikeKnown, verdict);  // the decoy is made once
    const double wrong = timed("alice", "192.0.2.10", UnknownLogins::verifiedLikeKnown, verdict);
    EXPECT_EQ(verdict, AccountVerdict::wrongPassword);
    const double unknownEvenly = timed("nobody", "192.0.2.11", UnknownLogins::verifiedLikeKnown, verdict);
    EXPECT_EQ(verdict, AccountVerdict::unknownLogin);
    const double unknownAtOnce = timed("nobody", "192.0.2.12", UnknownLogins::answeredAtOnce, verdict);
    EXPECT_EQ(verdict, AccountVerdict::unknownLogin);
    EXPECT_GT(unknownEvenly, wrong / 2) << "unknown " << unknownEvenly << " s, wrong " << wrong << " s";
    EXPECT_LT(unknownAtOnce, wrong / 10);  // reports keep telling them apart at once
}

}  // namespace
