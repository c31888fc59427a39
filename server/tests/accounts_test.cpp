// The account check: its verdicts, the cache of accepted passwords and when
// it is dropped, and the limits on failures, with a real SQLite storage and
// real Argon2id hashes.
#include <gtest/gtest.h>

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
};

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

TEST(Accounts, LimitWrongPasswordsPerLoginAndPerAddress) {
    Fixture f;
    // Wrong passwords for alice from many addresses fill alice's bucket.
    for (int i = 0; i < static_cast<int>(loginFailureCapacity); ++i) {
        const std::string client = "198.51.100." + std::to_string(i);
        EXPECT_EQ(checkAccount(*f.accounts, "alice", "guess", client).verdict, AccountVerdict::wrongPassword);
    }
    AccountCheck check;
    ASSERT_TRUE(checkAccountQuickly(*f.accounts, "alice", "right", "192.0.2.1", check));
    EXPECT_EQ(check.verdict, AccountVerdict::limited);  // even the right password, without verifying

    // Unknown logins from one address fill that address's bucket only.
    for (int i = 0; i < static_cast<int>(clientFailureCapacity); ++i) {
        EXPECT_EQ(checkAccount(*f.accounts, "nobody" + std::to_string(i), "x", "203.0.113.9").verdict,
                  AccountVerdict::unknownLogin);
    }
    EXPECT_EQ(checkAccount(*f.accounts, "bob", "bobpass", "203.0.113.9").verdict, AccountVerdict::limited);
    EXPECT_EQ(checkAccount(*f.accounts, "bob", "bobpass", "203.0.113.10").verdict, AccountVerdict::disabled);
}

}  // namespace
