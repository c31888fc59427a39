// The two realisations of the storage, chosen by openStorage, and what they share.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "server/storage.hpp"

// Each opens (and for SQLite creates when missing) the database and its
// schema; null with error set when it cannot.
std::unique_ptr<Storage> openSqliteStorage(std::string_view path, std::string& error);
std::unique_ptr<Storage> openPostgresStorage(std::string_view connection, std::string& error);

// The columns of a stored position in the order both realisations read them.
// The table last_positions (the newest position of each account, one row per
// account) has the same columns, so a column added to positions is added
// there and here, and the statements that copy a row follow.
constexpr const char* positionColumns =
    "id, account_id, time_us, received_us, lat, lon, speed_knots, client, time_sent,"
    " course, altitude, accuracy, battery, hdop, satellites";

// The end of an INSERT INTO last_positions (positionColumns) SELECT ...: a
// position replaces an account's row only when it is newer, by time, then id
// (the order of lastPositions). SQLite and PostgreSQL read it alike.
std::string newerReplacesLastPosition();
