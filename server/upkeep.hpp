// The upkeep of a running server: reading the accounts again when they
// change, making the days ahead (PostgreSQL), and deleting positions older
// than the days kept.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "server/accounts.hpp"
#include "server/storage.hpp"

constexpr std::size_t retentionBatch = 10000;            // positions deleted in one transaction
constexpr std::chrono::milliseconds retentionPause{50};  // between batches, so reports go on
constexpr std::chrono::minutes retentionInterval{60};    // between rounds
constexpr int daysMadeAhead = 3;  // the tables of today and the next days exist before a position needs them

struct Retention {
    long long positions = 0;  // deleted one by one (SQLite)
    long long days = 0;       // dropped whole (PostgreSQL)
};

// Deletes the positions taken more than retainDays days before nowUs: on
// PostgreSQL by dropping the days that end before then (a day is kept until
// all of it is older), on SQLite in batches of retentionBatch. False when
// the database failed.
bool deleteOldPositions(Storage& storage, int retainDays, std::int64_t nowUs, Retention& done);

struct Upkeep {
    std::string database;
    Accounts* accounts = nullptr;
    int retainDays = 0;  // 0: keep everything

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

// Starts the upkeep's thread: the accounts read again when they change, old
// positions deleted every retentionInterval when retainDays is set.
void startUpkeep(Upkeep& upkeep);
// Wakes the thread, lets its current batch finish and waits for it to end.
void stopUpkeep(Upkeep& upkeep);
