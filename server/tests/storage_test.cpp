// The storage, the same tests run against SQLite and PostgreSQL: accounts,
// positions stored and read back in batches in order of time, a report sent
// twice stored once, the newest per account, the retention, a schema that is
// opened again without change and one of the first version migrated.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

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

// A position taken at timeUs; sent: its report carried that time.
Position at(std::int64_t accountId, std::int64_t timeUs, double lat = 1, bool sent = false,
            std::int64_t receivedUs = 0) {
    return {accountId, timeUs, receivedUs != 0 ? receivedUs : timeUs, lat, 2, 3, "192.0.2.7", sent, {}};
}

Position speedOf(Position position, double speedKnots) {
    position.speedKnots = speedKnots;
    return position;
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

    // A key replaces the password, and a password the key.
    EXPECT_EQ(storage->setKey("nobody", "ab"), AccountChange::noSuchAccount);
    struct Change {
        bool key;
        const char* value;
    };
    for (const Change c : {Change{true, "0123abcd"}, Change{false, "$argon2id$newer"}}) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(c.key ? storage->setKey("bob", c.value) : storage->setPassword("bob", c.value),
                  AccountChange::done);
        std::vector<Account> changed;
        ASSERT_TRUE(other->listAccounts(changed));
        EXPECT_EQ(changed[1].keyDigest, c.key ? c.value : "");
        EXPECT_EQ(changed[1].passwordHash, c.key ? "" : c.value);
        EXPECT_GT(changed[1].version, after[1].version);
    }
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
    // Times out of the order of arrival, some equal: read back by time, then
    // by the order stored.
    std::vector<Position> positions;
    for (int i = 0; i < 25; ++i) {
        const std::int64_t time = 1000 + (i * 7) % 25 - (i % 6 == 0 ? 1 : 0);
        positions.push_back({i % 5 == 4 ? b : a,
                             time,
                             5000 + i,
                             -45.123456789 + i,
                             179.987654321,
                             0.5 * i,
                             i % 2 == 0 ? "192.0.2.7" : "2001:db8::7",
                             i % 3 == 0,
                             {}});
    }
    // The extras, each alone and all together, some of them at the ends of their ranges.
    positions[1].extras.courseDegrees = 359.9;
    positions[2].extras.altitudeMetres = -430.25;
    positions[3].extras.accuracyMetres = 0;
    positions[5].extras.batteryPercent = 100;
    positions[6].extras.hdop = 0.9;
    positions[7].extras.satellites = 0;
    positions[8].extras = {0.0, 8848.86, 4.5, 12.5, 99.9, 99};
    ASSERT_TRUE(storage->insertPositions(std::span(positions).first(10)));
    ASSERT_TRUE(storage->insertPositions(std::span(positions).subspan(10)));
    long long count = 0;
    ASSERT_TRUE(storage->countPositions(count));
    EXPECT_EQ(count, 25);

    // Account a, taken 1003 to 1019, in batches of 4; every account, in
    // batches of 3: every one, whole, in order.
    for (const std::int64_t accountId : {a, std::int64_t{0}}) {
        SCOPED_TRACE(accountId);
        const std::size_t size = accountId != 0 ? 4 : 3;
        PositionRange range;
        range.accountId = accountId;
        range.fromUs = 1003;
        range.toUs = 1020;
        std::vector<StoredPosition> batch;
        std::vector<Position> read;
        while (storage->readPositions(range, size, batch) && !batch.empty()) {
            EXPECT_LE(batch.size(), size);
            for (const StoredPosition& stored : batch) read.push_back(stored.position);
            range.afterTimeUs = batch.back().position.timeUs;
            range.afterId = batch.back().id;
        }
        std::vector<Position> expected;
        for (const Position& p : positions) {
            if ((accountId == 0 || p.accountId == a) && p.timeUs >= 1003 && p.timeUs < 1020)
                expected.push_back(p);
        }
        std::stable_sort(expected.begin(), expected.end(),
                         [](const Position& x, const Position& y) { return x.timeUs < y.timeUs; });
        ASSERT_EQ(read.size(), expected.size());
        for (std::size_t i = 0; i < read.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(read[i].accountId, expected[i].accountId);
            EXPECT_EQ(read[i].timeUs, expected[i].timeUs);
            EXPECT_EQ(read[i].receivedUs, expected[i].receivedUs);
            EXPECT_EQ(read[i].timeSent, expected[i].timeSent);
            EXPECT_EQ(read[i].lat, expected[i].lat);  // exactly: nothing is lost on the way
            EXPECT_EQ(read[i].lon, expected[i].lon);
            EXPECT_EQ(read[i].speedKnots, expected[i].speedKnots);
            EXPECT_EQ(read[i].client, expected[i].client);
            EXPECT_EQ(read[i].extras, expected[i].extras);
        }
    }

    // The newest by time, not the last stored: a (i = 7), b (i = 14).
    std::vector<StoredPosition> last;
    ASSERT_TRUE(storage->lastPositions(last));
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0].position.accountId, a);
    EXPECT_EQ(last[0].position.receivedUs, 5007);
    EXPECT_EQ(last[0].position.extras.satellites, 0);
    EXPECT_EQ(last[1].position.accountId, b);
    EXPECT_EQ(last[1].position.receivedUs, 5014);
}

TEST_P(StorageTest, AReportSentAgainIsStoredOnceAndALateOneKeepsTheLastPosition) {
    WAYLOOM_TEST_DATABASE(database);
    auto storage = open(database);
    ASSERT_NE(storage, nullptr);
    ASSERT_EQ(storage->addAccount(account("a")), AccountChange::done);
    ASSERT_EQ(storage->addAccount(account("b")), AccountChange::done);
    std::vector<Account> accounts;
    ASSERT_TRUE(storage->listAccounts(accounts));
    const std::int64_t a = accounts[0].id, b = accounts[1].id;
    constexpr std::int64_t live = 2000000000, kept = live - 600000000;
    struct Step {
        const char* what;
        std::vector<Position> group;
        long long count;  // stored afterwards
    };
    const Step steps[] = {
        {"the live position", {at(a, live, 1)}, 1},
        {"a kept one, late", {at(a, kept, 2, true, live + 1)}, 2},
        {"the kept one again, another group", {at(a, kept, 2, true, live + 2)}, 2},
        {"twice in one group, beside a new one",
         {at(a, kept + 30000000, 4, true), at(a, kept + 30000000, 4, true), at(a, kept + 60000000, 6, true)},
         4},
        {"the same time from another account", {at(b, kept, 7, true)}, 5},
        {"the same time without t: as ever, stored", {at(a, kept, 8), at(a, kept, 9)}, 7},
        {"the same time, another position: stored", {at(a, kept + 30000000, 5, true)}, 8},
        {"the same time and place, another speed: stored", {speedOf(at(a, kept + 30000000, 5, true), 4)}, 9},
        {"that one again: a copy", {speedOf(at(a, kept + 30000000, 5, true), 4)}, 9},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_TRUE(storage->insertPositions(step.group)) << storage->lastError();
        long long count = 0;
        ASSERT_TRUE(storage->countPositions(count));
        EXPECT_EQ(count, step.count);
    }
    // The first copy is the one kept; the live position stays the last.
    PositionRange range;
    range.accountId = a;
    std::vector<StoredPosition> batch;
    ASSERT_TRUE(storage->readPositions(range, 10, batch));
    std::vector<double> lats;
    for (const StoredPosition& stored : batch) lats.push_back(stored.position.lat);
    EXPECT_EQ(lats, (std::vector<double>{2, 8, 9, 4, 5, 5, 6, 1}));
    std::vector<StoredPosition> last;
    ASSERT_TRUE(storage->lastPositions(last));
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0].position.timeUs, live);
    EXPECT_EQ(last[0].position.lat, 1);
    EXPECT_EQ(last[1].position.lat, 7);
}

// PostgreSQL drops the days wholly older, SQLite deletes in batches; reports
// of today go on arriving through another connection meanwhile.
TEST_P(StorageTest, RetentionDeletesOnlyOlderPositionsWhileReportsArrive) {
    WAYLOOM_TEST_DATABASE(database);
    auto storage = open(database);
    ASSERT_NE(storage, nullptr);
    ASSERT_EQ(storage->addAccount(account("a")), AccountChange::done);
    ASSERT_EQ(storage->addAccount(account("old")), AccountChange::done);
    std::vector<Account> accounts;
    ASSERT_TRUE(storage->listAccounts(accounts));
    const std::int64_t a = accounts[0].id;
    const std::int64_t now = 100 * dayUs;
    std::vector<Position> positions;
    // 25,000 older than 7 days (more than two batches), 3 younger; the
    // account "old" has only older ones, so its last position goes with them.
    positions.push_back(at(accounts[1].id, now - 9 * dayUs));
    for (int i = 0; i < 25000; ++i) positions.push_back(at(a, now - 8 * dayUs + i));
    for (int i = 0; i < 3; ++i) positions.push_back(at(a, now - 6 * dayUs + i));
    ASSERT_TRUE(storage->insertPositions(positions));
    EXPECT_EQ(storage->deletePositionsBefore(now - 7 * dayUs, 10), 10);

    std::atomic<bool> retained{false};
    std::atomic<int> arrived{0}, refused{0};
    std::thread reports([&] {
        auto writer = open(database);
        for (int i = 0; writer != nullptr && (!retained.load() || i < 20); ++i) {
            const std::vector<Position> group{at(a, now + i * 10, 1, true), at(a, now + i * 10 + 1)};
            (writer->insertPositions(group) ? arrived : refused) += 2;
            // Reports arrive over time: a writer that never lets go would
            // starve SQLite's busy wait of the retention.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    Retention done;
    const bool deleted = deleteOldPositions(*storage, 7, now, done);
    retained = true;
    reports.join();
    ASSERT_TRUE(deleted) << storage->lastError();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(done.positions, database.kind == testdb::Kind::sqlite ? 25000 + 1 - 10 : 0);
    EXPECT_EQ(done.days, database.kind == testdb::Kind::sqlite ? 0 : 2);
    long long count = 0;
    ASSERT_TRUE(storage->countPositions(count));
    EXPECT_EQ(count, 3 + arrived.load());
    std::vector<StoredPosition> last;
    ASSERT_TRUE(storage->lastPositions(last));
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].position.accountId, a);
    // The day is made again for a position that arrives late.
    ASSERT_TRUE(storage->insertPositions(std::vector<Position>{at(a, now - 8 * dayUs, 1, true)}));
    ASSERT_TRUE(storage->countPositions(count));
    EXPECT_EQ(count, 4 + arrived.load());
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

// One position a day for 100 days (PostgreSQL reads them a few weeks at a
// time): every batch but the last is full, whatever the range.
TEST_P(StorageTest, ARangeOfManyDaysIsReadInFullBatches) {
    WAYLOOM_TEST_DATABASE(database);
    auto storage = open(database);
    ASSERT_NE(storage, nullptr);
    ASSERT_EQ(storage->addAccount(account("a")), AccountChange::done);
    constexpr std::int64_t base = 20000 * dayUs;
    std::vector<Position> positions;
    for (int day = 0; day < 100; ++day) positions.push_back(at(1, base + day * dayUs + day, day, true));
    ASSERT_TRUE(storage->insertPositions(positions)) << storage->lastError();
    long long count = 0;
    ASSERT_TRUE(storage->countPositions(count));
    EXPECT_EQ(count, 100);
    struct Case {
        std::int64_t fromUs, toUs;
        std::size_t batch;
        std::vector<std::size_t> sizes;
        double firstDay;
    };
    const Case cases[] = {
        {std::numeric_limits<std::int64_t>::min(),
         std::numeric_limits<std::int64_t>::max(),
         45,
         {45, 45, 10},
         0},
        {base + dayUs, base + 99 * dayUs, 98, {98}, 1},
        {base + 50 * dayUs + 51, base + 90 * dayUs, 30, {30, 9}, 51},
        {base - 400 * dayUs, base, 10, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fromUs - base);
        PositionRange range;
        range.accountId = 1;
        range.fromUs = c.fromUs;
        range.toUs = c.toUs;
        std::vector<StoredPosition> batch;
        std::vector<std::size_t> sizes;
        double next = c.firstDay;
        while (storage->readPositions(range, c.batch, batch) && !batch.empty()) {
            sizes.push_back(batch.size());
            for (const StoredPosition& stored : batch) EXPECT_EQ(stored.position.lat, next++);
            range.afterTimeUs = batch.back().position.timeUs;
            range.afterId = batch.back().id;
        }
        EXPECT_EQ(sizes, c.sizes) << storage->lastError();
    }
}

// 1,000,000 positions of one account 50 ms apart, another account's between
// them, and 2,000 stored last with times among the first (ties included):
// 10,000 from the middle, read in batches, are exactly the rows a scan of
// the whole history finds there.
TEST_P(StorageTest, AMiddleRangeReadsWhatAFullScanReads) {
    WAYLOOM_TEST_DATABASE(database);
    auto storage = open(database);
    ASSERT_NE(storage, nullptr);
    ASSERT_EQ(storage->addAccount(account("a")), AccountChange::done);
    ASSERT_EQ(storage->addAccount(account("b")), AccountChange::done);
    constexpr std::int64_t base = 1796635200LL * 1000000, step = 50000, count = 1000000;
    ASSERT_TRUE(storage->prepareDays(base, base + count * step)) << storage->lastError();
    const std::string fill =
        "INSERT INTO positions (account_id, time_us, received_us, lat, lon, speed_knots, client, time_sent)"
        " SELECT 1, " +
        std::to_string(base) + " + i * " + std::to_string(step) +
        ", 0, i % 90, 0, 0, '', 0 = 1 FROM series WHERE i < " + std::to_string(count) +
        "; INSERT INTO positions (account_id, time_us, received_us, lat, lon, speed_knots, client, time_sent)"
        " SELECT 2, " +
        std::to_string(base) + " + i * " + std::to_string(step) +
        " + 7, 0, 1, 0, 0, '', 0 = 1 FROM series WHERE i % 10 = 0 AND i < " + std::to_string(count) +
        "; INSERT INTO positions (account_id, time_us, received_us, lat, lon, speed_knots, client, time_sent)"
        " SELECT 1, " +
        std::to_string(base) + " + (i * 499 % " + std::to_string(count) + ") * " + std::to_string(step) +
        " + i % 2, 1, 2, 0, 0, '', 0 = 1 FROM series WHERE i < 2000";
    if (database.kind == testdb::Kind::sqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(database.name.c_str(), &db), SQLITE_OK);
        const std::string sql =
            "BEGIN; CREATE TEMP TABLE series (i INTEGER PRIMARY KEY);"
            "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
            std::to_string(count - 1) + ") INSERT INTO series SELECT i FROM n;" + fill + "; COMMIT;";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    } else {
        ASSERT_TRUE(testdb::runAdmin(database.name, "CREATE TEMP TABLE series AS SELECT generate_series(0, " +
                                                        std::to_string(count - 1) + ")::bigint AS i;" + fill +
                                                        "; ANALYZE positions"));
    }
    const auto readAll = [&](PositionRange range, std::size_t size, std::vector<StoredPosition>& all) {
        std::vector<StoredPosition> batch;
        while (storage->readPositions(range, size, batch) && !batch.empty()) {
            all.insert(all.end(), batch.begin(), batch.end());
            range.afterTimeUs = batch.back().position.timeUs;
            range.afterId = batch.back().id;
        }
        return storage->lastError();
    };
    PositionRange whole;
    whole.accountId = 1;
    std::vector<StoredPosition> scan;
    readAll(whole, 100000, scan);
    ASSERT_EQ(scan.size(), static_cast<std::size_t>(count + 2000));
    PositionRange middle = whole;
    middle.fromUs = base + count / 2 * step;
    middle.toUs = middle.fromUs + 10000 * step;
    std::vector<StoredPosition> range;
    readAll(middle, 1000, range);
    std::vector<std::int64_t> expected, got;
    for (const StoredPosition& stored : scan) {
        const std::int64_t time = stored.position.timeUs;
        if (time >= middle.fromUs && time < middle.toUs) expected.push_back(stored.id);
    }
    for (const StoredPosition& stored : range) got.push_back(stored.id);
    EXPECT_GT(expected.size(), 10000u);  // late ones among them
    EXPECT_EQ(got, expected);
}

// The first schema, as a server of that version left it, with two positions.
TEST_P(StorageTest, MigratesADatabaseOfTheFirstSchema) {
    WAYLOOM_TEST_DATABASE(database);
    const bool sqlite = database.kind == testdb::Kind::sqlite;
    const std::string integer = sqlite ? "INTEGER PRIMARY KEY" : "BIGSERIAL PRIMARY KEY";
    // Account 2 reported on days 70 down to 1, newest first: its last
    // position is found however many days the positions are kept in.
    std::string farDays;
    for (int day = 70; day > 0; --day)
        farDays +=
            ", (2, " + std::to_string(day * dayUs) + ", " + std::to_string(day) + ", 5, 6, '192.0.2.9')";
    const std::string first =
        "CREATE TABLE accounts (id " + integer +
        ", login TEXT NOT NULL UNIQUE, password_hash TEXT NOT NULL, admin BOOLEAN NOT NULL DEFAULT FALSE,"
        " enabled BOOLEAN NOT NULL DEFAULT TRUE, version BIGINT NOT NULL DEFAULT 1, created_us BIGINT NOT "
        "NULL);"
        "CREATE TABLE positions (id " +
        integer +
        ", account_id BIGINT NOT NULL REFERENCES accounts(id), received_us BIGINT NOT NULL,"
        " lat DOUBLE PRECISION NOT NULL, lon DOUBLE PRECISION NOT NULL, speed_knots DOUBLE PRECISION NOT "
        "NULL,"
        " client TEXT NOT NULL);"
        "CREATE INDEX positions_by_account ON positions(account_id, id);"
        "CREATE INDEX positions_by_time ON positions(received_us);"
        "CREATE TABLE generations (name TEXT PRIMARY KEY, value BIGINT NOT NULL);"
        "INSERT INTO generations VALUES ('accounts', 1);"
        "INSERT INTO accounts (login, password_hash, created_us) VALUES ('old', 'x', 1), ('far', 'x', 1);"
        "INSERT INTO positions (account_id, received_us, lat, lon, speed_knots, client) VALUES"
        " (1, 3000, 1, 2, 3, '192.0.2.7'), (1, 2000, 4, 5, 6, '192.0.2.8')" +
        farDays + ";" +
        (sqlite ? "PRAGMA user_version = 1;"
                : "CREATE TABLE wayloom_schema (version INTEGER NOT NULL);"
                  "INSERT INTO wayloom_schema VALUES (1);");
    if (sqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(database.name.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, first.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    } else {
        ASSERT_TRUE(testdb::runAdmin(database.name, first));
    }
    auto storage = open(database);
    ASSERT_NE(storage, nullptr);
    PositionRange range;
    range.accountId = 1;
    std::vector<StoredPosition> batch;
    ASSERT_TRUE(storage->readPositions(range, 10, batch));
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0].position.timeUs, 2000);  // the time of arrival, in its order
    EXPECT_EQ(batch[0].position.receivedUs, 2000);
    EXPECT_EQ(batch[0].position.lat, 4);
    EXPECT_FALSE(batch[0].position.timeSent);
    EXPECT_EQ(batch[0].position.extras, PositionExtras{});  // none, as it was sent without
    EXPECT_EQ(batch[1].position.timeUs, 3000);
    ASSERT_TRUE(storage->insertPositions(
        std::vector<Position>{at(1, 2500, 7, true), at(1, 2500, 7, true), at(1, 2500, 8, true)}));
    long long count = 0;
    ASSERT_TRUE(storage->countPositions(count));
    EXPECT_EQ(count, 74);
    std::vector<StoredPosition> last;
    ASSERT_TRUE(storage->lastPositions(last));
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0].position.timeUs, 3000);
    EXPECT_EQ(last[0].position.lat, 1);
    EXPECT_EQ(last[1].position.lat, 70);
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
