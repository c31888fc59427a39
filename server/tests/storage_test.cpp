// The storage, the same tests run against SQLite and PostgreSQL: accounts,
// positions stored and read back in batches, the newest per account, the
// retention, and a schema that is opened again without change.
#include <gtest/gtest.h>

#include "server/storage.hpp"
#include "server/tests/test_database.hpp"
#include "server/upkeep.hpp"

namespace {

class StorageTest : public testing::TestWithParam<testdb::Kind> {};

std::unique_ptr<Storage> open(const testdb::Database& database) {
    std::string error;
    auto storage = openStorage(database.name, error);
    EXPECT_NE(storage, nullptr) << error;
    return storage;
}

Account account(std::string login, bool admin = false) {
    Account a;
    a.login = std::move(login);
    a.passwordHash = "$argon2id$hash-of-" + a.login;
    a.admin = admin;
    return a;
}

TEST_P(StorageTest, AccountsChangeTheirVersionAndTheGeneration) {
    WAYLOOM_TEST_DATABASE(database);
    auto storage = open(database);
    ASSERT_NE(storage, nullptr);
    std::int64_t generation0 = 0;
    ASSERT_TRUE(storage->accountsGeneration(generation0));
    EXPECT_EQ(storage->addAccount(account("bob")), AccountChange::done);
    EXPECT_EQ(storage->addAccount(account("alice", true)), AccountChange::done);
    EXPECT_EQ(storage->addAccount(account("bob")), AccountChange::loginTaken);
    EXPECT_EQ(storage->setPassword("nobody", "x"), AccountChange::noSuchAccount);
    EXPECT_EQ(storage->setEnabled("nobody", false), AccountChange::noSuchAccount);

    std::vector<Account> before;
    ASSERT_TRUE(storage->listAccounts(before));
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].login, "alice");
    EXPECT_TRUE(before[0].admin && before[0].enabled);
    EXPECT_EQ(before[1].passwordHash, "$argon2id$hash-of-bob");

    // Another connection (another server) sees the change through the generation.
    auto other = open(database);
    std::int64_t generation1 = 0;
    ASSERT_TRUE(other->accountsGeneration(generation1));
    EXPECT_EQ(other->setPassword("bob", "$argon2id$new"), AccountChange::done);
    EXPECT_EQ(other->setEnabled("alice", false), AccountChange::done);
    std::int64_t generation2 = 0;
    ASSERT_TRUE(storage->accountsGeneration(generation2));
    EXPECT_GT(generation1, generation0);
    EXPECT_GT(generation2, generation1);

    std::vector<Account> after;
    ASSERT_TRUE(storage->listAccounts(after));
    EXPECT_FALSE(after[0].enabled);
    EXPECT_GT(after[0].version, before[0].version);
    EXPECT_EQ(after[1].passwordHash, "$argon2id$new");
    EXPECT_GT(after[1].version, before[1].version);
}

TEST_P(StorageTest, PositionsAreReadBackInBatchesAndRanges) {
    WAYLOOM_TEST_DATABASE(database);
    auto storage = open(database);
    ASSERT_NE(storage, nullptr);
    ASSERT_EQ(storage->addAccount(account("a")), AccountChange::done);
    ASSERT_EQ(storage->addAccount(account("b")), AccountChange::done);
    std::vector<Account> accounts;
    ASSERT_TRUE(storage->listAccounts(accounts));
    const std::int64_t a = accounts[0].id;
    const std::int64_t b = accounts[1].id;
    std::vector<Position> positions;
    for (int i = 0; i < 25; ++i) {
        positions.push_back({i % 5 == 4 ? b : a, 1000 + i, -45.123456789 + i, 179.987654321, 0.5 * i,
                             i % 2 == 0 ? "192.0.2.7" : "2001:db8::7"});
    }
    ASSERT_TRUE(storage->insertPositions(std::span(positions).first(10)));
    ASSERT_TRUE(storage->insertPositions(std::span(positions).subspan(10)));
    long long count = 0;
    ASSERT_TRUE(storage->countPositions(count));
    EXPECT_EQ(count, 25);

    // Account a, received 1003 to 1019, in batches of 4: every one, whole, in order.
    PositionRange range{a, 1003, 1020, 0};
    std::vector<StoredPosition> batch;
    std::vector<Position> read;
    std::int64_t lastId = 0;
    while (storage->readPositions(range, 4, batch) && !batch.empty()) {
        EXPECT_LE(batch.size(), 4u);
        for (const StoredPosition& stored : batch) {
            EXPECT_GT(stored.id, lastId);
            lastId = stored.id;
            read.push_back(stored.position);
        }
        range.afterId = batch.back().id;
    }
    std::vector<Position> expected;
    for (const Position& p : positions) {
        if (p.accountId == a && p.receivedUs >= 1003 && p.receivedUs < 1020) expected.push_back(p);
    }
    ASSERT_EQ(read.size(), expected.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(read[i].receivedUs, expected[i].receivedUs);
        EXPECT_EQ(read[i].lat, expected[i].lat);  // exactly: nothing is lost on the way
        EXPECT_EQ(read[i].lon, expected[i].lon);
        EXPECT_EQ(read[i].speedKnots, expected[i].speedKnots);
        EXPECT_EQ(read[i].client, expected[i].client);
    }

    std::vector<StoredPosition> last;
    ASSERT_TRUE(storage->lastPositions(last));
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0].position.accountId, a);
    EXPECT_EQ(last[0].position.receivedUs, 1023);
    EXPECT_EQ(last[1].position.accountId, b);
    EXPECT_EQ(last[1].position.receivedUs, 1024);
}

TEST_P(StorageTest, RetentionDeletesOnlyOlderPositionsInBatches) {
    WAYLOOM_TEST_DATABASE(database);
    auto storage = open(database);
    ASSERT_NE(storage, nullptr);
    ASSERT_EQ(storage->addAccount(account("a")), AccountChange::done);
    std::vector<Account> accounts;
    ASSERT_TRUE(storage->listAccounts(accounts));
    constexpr std::int64_t dayUs = 86400LL * 1000000;
    const std::int64_t now = 100 * dayUs;
    std::vector<Position> positions;
    // 25,000 older than 7 days (more than two batches), 3 younger.
    for (int i = 0; i < 25000; ++i)
        positions.push_back({accounts[0].id, now - 8 * dayUs + i, 1, 2, 3, "192.0.2.7"});
    for (int i = 0; i < 3; ++i) positions.push_back({accounts[0].id, now - 6 * dayUs, 1, 2, 3, "192.0.2.7"});
    ASSERT_TRUE(storage->insertPositions(positions));
    EXPECT_EQ(storage->deletePositionsBefore(now - 7 * dayUs, 10), 10);
    EXPECT_EQ(deleteOldPositions(*storage, 7, now), 25000 - 10);
    long long count = 0;
    ASSERT_TRUE(storage->countPositions(count));
    EXPECT_EQ(count, 3);
}

TEST_P(StorageTest, OpensItsOwnSchemaAgainUnchanged) {
    WAYLOOM_TEST_DATABASE(database);
    {
        auto first = open(database);
        ASSERT_NE(first, nullptr);
        ASSERT_EQ(first->addAccount(account("kept")), AccountChange::done);
    }
    auto again = open(database);
    ASSERT_NE(again, nullptr);
    std::vector<Account> accounts;
    ASSERT_TRUE(again->listAccounts(accounts));
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].login, "kept");
}

INSTANTIATE_TEST_SUITE_P(Both, StorageTest, testing::Values(testdb::Kind::sqlite, testdb::Kind::postgres),
                         testdb::kindName);

TEST(Storage, RefusesWhatCannotBeOpened) {
    std::string error;
    EXPECT_EQ(openStorage("/nonexistent-folder/x.db", error), nullptr);
    EXPECT_NE(error.find("x.db"), std::string::npos) << error;
    EXPECT_EQ(openStorage("postgresql:///none?host=/nonexistent-folder", error), nullptr);
    EXPECT_NE(error.find("PostgreSQL"), std::string::npos) << error;
}

}  // namespace
