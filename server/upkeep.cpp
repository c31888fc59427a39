// The upkeep thread: the accounts every second, the retention every hour.
#include "server/upkeep.hpp"

#include <cstdio>

long long deleteOldPositions(Storage& storage, int retainDays, std::int64_t now) {
    constexpr std::int64_t dayUs = 86400LL * 1000000LL;
    const std::int64_t cutoff = now - retainDays * dayUs;
    long long total = 0;
    while (true) {
        const long long deleted = storage.deletePositionsBefore(cutoff, retentionBatch);
        if (deleted < 0) return -1;
        total += deleted;
        if (static_cast<std::size_t>(deleted) < retentionBatch) return total;
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
    const long long deleted = deleteOldPositions(*storage, upkeep.retainDays, nowUs());
    if (deleted < 0) {
        std::fprintf(stderr, "wayloom-server: retention: %s\n", storage->lastError().c_str());
        storage.reset();
    } else if (deleted > 0) {
        std::fprintf(stderr, "wayloom-server: deleted %lld positions older than %d days\n", deleted,
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
        if (upkeep.retainDays > 0 && std::chrono::steady_clock::now() >= nextRetention) {
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
