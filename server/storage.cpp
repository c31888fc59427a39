// Opening the storage a database name asks for.
#include "server/storage.hpp"

#include <chrono>

#include "server/storage_realisations.hpp"

bool isPostgresDatabase(std::string_view database) {
    return database.starts_with("postgresql:") || database.starts_with("postgres:");
}

std::unique_ptr<Storage> openStorage(std::string_view database, std::string& error) {
    if (database.empty()) {
        error = "no database given";
        return nullptr;
    }
    if (isPostgresDatabase(database)) return openPostgresStorage(database, error);
    return openSqliteStorage(database, error);
}

std::int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
