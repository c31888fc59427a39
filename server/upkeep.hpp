// The upkeep of a running server: reading the accounts again when they
// change, and deleting positions older than the days kept.
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

// Deletes every position received more than retainDays days before nowUs, in
// batches of retentionBatch; the number deleted, or -1 when the database failed.
long long deleteOldPositions(Storage& storage, int retainDays, std::int64_t nowUs);

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
