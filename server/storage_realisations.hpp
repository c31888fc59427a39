// The two realisations of the storage, chosen by openStorage.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "server/storage.hpp"

// Each opens (and for SQLite creates when missing) the database and its
// schema; null with error set when it cannot.
std::unique_ptr<Storage> openSqliteStorage(std::string_view path, std::string& error);
std::unique_ptr<Storage> openPostgresStorage(std::string_view connection, std::string& error);
