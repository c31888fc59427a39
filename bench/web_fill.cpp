// Fills a wayloom-server database for bench/web_measure.sh: an account
// "bench" (password "benchpass") with COUNT positions one second apart,
// ending now, along a slow spiral; stored in transactions of 10,000.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/accounts.hpp"
#include "server/storage.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: web_fill DATABASE COUNT\n");
        return 2;
    }
    const long long count = std::atoll(argv[2]);
    std::string error;
    const std::unique_ptr<Storage> storage = openStorage(argv[1], error);
    if (!storage) {
        std::fprintf(stderr, "web_fill: %s\n", error.c_str());
        return 1;
    }
    Account account;
    account.login = "bench";
    account.passwordHash = hashPassword("benchpass");
    if (storage->addAccount(account) != AccountChange::done) {
        std::fprintf(stderr, "web_fill: cannot add the account: %s\n", storage->lastError().c_str());
        return 1;
    }
    std::vector<Account> accounts;
    storage->listAccounts(accounts);
    const std::int64_t accountId = accounts.at(0).id;
    const auto started = std::chrono::steady_clock::now();
    const std::int64_t firstUs = nowUs() - count * 1000000;
    std::vector<Position> batch;
    for (long long i = 0; i < count;) {
        batch.clear();
        for (; i < count && batch.size() < 10000; ++i) {
            const double turn = static_cast<double>(i) * 1e-4;
            const std::int64_t timeUs = firstUs + i * 1000000;
            batch.push_back({accountId, timeUs, timeUs, 48.1 + 0.01 * turn * std::sin(turn),
                             11.5 + 0.01 * turn * std::cos(turn), 10 + std::fmod(turn, 5.0), "192.0.2.7",
                             false});
        }
        if (!storage->insertPositions(batch)) {
            std::fprintf(stderr, "web_fill: %s\n", storage->lastError().c_str());
            return 1;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("stored %lld positions in %.1f s\n", count, seconds);
    return 0;
}
