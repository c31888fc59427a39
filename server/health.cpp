// GET /healthz: one connection to the database, kept between checks and
// opened again after a failure, so a probe every second costs one query.
#include "server/health.hpp"

#include <cstdio>
#include <memory>
#include <mutex>

#include "server/metrics.hpp"
#include "server/storage.hpp"

namespace {

struct HealthCheck {
    std::string database;
    std::mutex mutex;  // one check at a time; the others wait for its verdict
    std::unique_ptr<Storage> storage;
    bool wasHealthy = true;  // the reason for a failure is logged once, when it starts
};

bool databaseAnswers(HealthCheck& check) {
    const std::lock_guard lock(check.mutex);
    std::string error;
    if (check.storage == nullptr) check.storage = openStorage(check.database, error);
    bool healthy = check.storage != nullptr && check.storage->answers();
    if (!healthy) countDatabaseError();
    if (!healthy && check.storage != nullptr) {
        error = check.storage->lastError();
        check.storage.reset();
    }
    if (healthy != check.wasHealthy) {
        if (healthy) {
            std::fprintf(stderr, "wayloom-server: %s: the database answers again\n", healthPath.data());
        } else {
            std::fprintf(stderr, "wayloom-server: %s: the database does not answer: %s\n", healthPath.data(),
                         error.c_str());
        }
        check.wasHealthy = healthy;
    }
    return healthy;
}

}  // namespace

void addHealthRoute(Routes& routes, const std::string& database) {
    auto check = std::make_shared<HealthCheck>();
    check->database = database;
    routes.add("GET", healthPath, [check](const HttpRequest&, HttpStream& stream) {
        constexpr std::string_view headers = "Cache-Control: no-store\r\n";
        if (databaseAnswers(*check)) {
            stream.respond(200, "text/plain", "ok\n", headers);
        } else {
            stream.respond(503, "text/plain", "unavailable\n", headers);
        }
    });
}
