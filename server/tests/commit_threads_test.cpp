// The threads of the server meeting: many threads submitting reports to one
// committer, and account checks running while the accounts change.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "server/accounts.hpp"
#include "server/reports.hpp"
#include "server/tests/test_database.hpp"

namespace {

TEST(Committer, AnswersEveryReportOnceAfterItsGroupIsCommitted) {
    testdb::Database database(testdb::Kind::sqlite);
    std::string error;
    auto storage = openStorage(database.name, error);
    ASSERT_NE(storage, nullptr) << error;
    Account account;
    account.login = "a";
    account.passwordHash = "x";
    ASSERT_EQ(storage->addAccount(account), AccountChange::done);
    std::vector<Account> accounts;
    ASSERT_TRUE(storage->listAccounts(accounts));

    std::mutex mutex;
    std::map<std::uint64_t, int> answered;  // ticket -> times answered "1"
    int answeredBeforeCommit = 0;
    PositionFeed feed;
    Committer committer;
    committer.database = database.name;
    committer.feed = &feed;
    committer.sink = [&](std::span<const std::pair<std::uint64_t, char>> answers) {
        long long committed = 0;
        storage->countPositions(committed);  // from another connection: only what is committed
        const std::lock_guard lock(mutex);
        for (const auto& [ticket, status] : answers) {
            if (status == answer::stored) answered[ticket]++;
        }
        if (committed < static_cast<long long>(answered.size())) answeredBeforeCommit++;
    };
    ASSERT_TRUE(startCommitter(committer, error)) << error;
    constexpr int threads = 8;
    constexpr int reportsEach = 300;
    std::vector<std::thread> submitters;
    for (int t = 0; t < threads; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < reportsEach; ++i) {
                PendingReport report;
                report.ticket = static_cast<std::uint64_t>(t * reportsEach + i);
                const std::int64_t now = nowUs();
                report.positions = {
                    {accounts[0].id, now, now, 1, 2, static_cast<double>(i), "192.0.2.1", false, {}}};
                submitReport(committer, std::move(report));
            }
        });
    }
    for (std::thread& submitter : submitters) submitter.join();
    const std::uint64_t seen = feed.waitForCommit(0, std::chrono::seconds(10));
    stopCommitter(committer);

    EXPECT_GE(seen, 1u);
    EXPECT_EQ(answeredBeforeCommit, 0);
    ASSERT_EQ(answered.size(), static_cast<std::size_t>(threads * reportsEach));
    for (const auto& [ticket, times] : answered) ASSERT_EQ(times, 1) << "ticket " << ticket;
    long long count = 0;
    ASSERT_TRUE(storage->countPositions(count));
    EXPECT_EQ(count, threads * reportsEach);
    EXPECT_EQ(committer.reports, static_cast<std::uint64_t>(threads * reportsEach));
    EXPECT_LT(committer.groups, committer.reports);  // reports that came together shared a transaction
}

TEST(Accounts, ChecksRunWhileTheAccountsChange) {
    testdb::Database database(testdb::Kind::sqlite);
    std::string error;
    auto admin = openStorage(database.name, error);
    ASSERT_NE(admin, nullptr) << error;
    Account account;
    account.login = "alice";
    account.passwordHash = hashPassword("one");
    ASSERT_EQ(admin->addAccount(account), AccountChange::done);
    auto accounts = openAccounts(database.name, error);
    ASSERT_NE(accounts, nullptr) << error;
    ASSERT_EQ(checkAccount(*accounts, "alice", "one", "192.0.2.1").verdict, AccountVerdict::accepted);

    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> checkers;
    for (int t = 0; t < 3; ++t) {
        checkers.emplace_back([&, t] {
            const std::string client = "192.0.2." + std::to_string(10 + t);
            while (!done) {
                AccountCheck check;
                if (checkAccountQuickly(*accounts, "alice", "one", client, check) &&
                    check.verdict != AccountVerdict::accepted && check.verdict != AccountVerdict::disabled)
                    unexpected++;
                if (checkAccountQuickly(*accounts, "nobody", "x", "198.51.100.1", check) &&
                    check.verdict != AccountVerdict::unknownLogin && check.verdict != AccountVerdict::limited)
                    unexpected++;
            }
        });
    }
    for (int round = 0; round < 4; ++round) {
        ASSERT_EQ(admin->setEnabled("alice", round % 2 == 1), AccountChange::done);
        ASSERT_TRUE(refreshAccounts(*accounts));
        checkAccount(*accounts, "alice", "one", "192.0.2.1");  // verifies again: the cache was dropped
    }
    done = true;
    for (std::thread& checker : checkers) checker.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(checkAccount(*accounts, "alice", "one", "192.0.2.1").verdict, AccountVerdict::accepted);
}

}  // namespace
