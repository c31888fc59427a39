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

std::string newerReplacesLastPosition() {
    std::string sql = " ON CONFLICT (account_id) DO UPDATE SET ";
    std::string_view columns = positionColumns;
    bool first = true;
    while (!columns.empty()) {
        const std::size_t comma = columns.find(',');
        const std::string_view column = columns.substr(0, comma);
        columns = comma == std::string_view::npos ? std::string_view() : columns.substr(comma + 2);
        if (column == "account_id") continue;
        if (!first) sql += ", ";
        first = false;
        sql.append(column).append(" = excluded.").append(column);
    }
    return sql + " WHERE (excluded.time_us, excluded.id) > (last_positions.time_us, last_positions.id)";
}
