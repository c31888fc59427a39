// The upkeep thread: the accounts every second; the days ahead and the
// retention every hour.
#include "server/upkeep.hpp"

#include <cstdio>

bool deleteOldPositions(Storage& storage, int retainDays, std::int64_t now, Retention& done) {
    const std::int64_t cutoff = now - retainDays * dayUs;
    done = {};
    if (storage.keepsDays()) {
        done.days = storage.dropDaysBefore(cutoff);
        return done.days >= 0;
    }
    while (true) {
        const long long deleted = storage.deletePositionsBefore(cutoff, retentionBatch);
        if (deleted < 0) return false;
        done.positions += deleted;
        if (static_cast<std::size_t>(deleted) < retentionBatch) return true;
        std::this_thread::sleep_for(retentionPause);
    }
}

namespace {

void runRetention(Upkeep& upkeep, std::unique_ptr<Storage>& storage) {
    std::string error;
    if (storage == nullptr) storage = openStorage(upkeep.database, error);
    if (storage == nullptr) {
        std::fprintf(stderr, "wayloom-server: retention: %s\n", error.c_str());
        return;
    }
    const std::int64_t now = nowUs();
    if (storage->keepsDays() && !storage->prepareDays(now - dayUs, now + daysMadeAhead * dayUs)) {
        std::fprintf(stderr, "wayloom-server: cannot make the days ahead: %s\n",
                     storage->lastError().c_str());
        storage.reset();
        return;
    }
    if (upkeep.retainDays <= 0) return;
    Retention done;
    if (!deleteOldPositions(*storage, upkeep.retainDays, now, done)) {
        std::fprintf(stderr, "wayloom-server: retention: %s\n", storage->lastError().c_str());
        storage.reset();
    } else if (done.positions > 0) {
        std::fprintf(stderr, "wayloom-server: deleted %lld positions older than %d days\n", done.positions,
                     upkeep.retainDays);
    } else if (done.days > 0) {
        std::fprintf(stderr, "wayloom-server: dropped %lld days of positions older than %d days\n", done.days,
                     upkeep.retainDays);
    }
}

void runUpkeep(Upkeep& upkeep) {
    std::unique_ptr<Storage> storage;
    auto nextRetention = std::chrono::steady_clock::now();
    std::unique_lock lock(upkeep.mutex);
    while (!upkeep.stopping) {
        lock.unlock();
        if (!refreshAccounts(*upkeep.accounts)) {
            std::fprintf(stderr, "wayloom-server: cannot read the accounts again\n");
        }
        if (std::chrono::steady_clock::now() >= nextRetention) {
            runRetention(upkeep, storage);
            nextRetention = std::chrono::steady_clock::now() + retentionInterval;
        }
        lock.lock();
        upkeep.wake.wait_for(lock, accountsRefreshInterval, [&] { return upkeep.stopping; });
    }
}

}  // namespace

void startUpkeep(Upkeep& upkeep) {
    upkeep.thread = std::thread(runUpkeep, std::ref(upkeep));
}

void stopUpkeep(Upkeep& upkeep) {
    {
        const std::lock_guard lock(upkeep.mutex);
        upkeep.stopping = true;
        upkeep.wake.notify_all();
    }
    if (upkeep.thread.joinable()) upkeep.thread.join();
}
