// Test support: a fresh database of either kind for one test.
//
// SQLite: a file in a new temporary folder. PostgreSQL: a new database in the
// server that the test command starts once per run (server/tests/postgres.sh,
// its folder in WAYLOOM_TEST_POSTGRES_DIR), dropped at the end. A test asks
// for the kind it runs with and skips, saying why, only when that server
// could not be started.
#pragma once

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace testdb {

enum class Kind { sqlite, postgres };

inline std::string kindName(const testing::TestParamInfo<Kind>& info) {
    return info.param == Kind::sqlite ? "SQLite" : "PostgreSQL";
}

inline std::string readLine(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The URL of the test server's "postgres" database, or "" with why set.
inline std::string postgresUrl(std::string& why) {
    const char* dir = std::getenv("WAYLOOM_TEST_POSTGRES_DIR");
    if (dir == nullptr) {
        why = "WAYLOOM_TEST_POSTGRES_DIR is not set (run the suites through ctest)";
        return {};
    }
    const std::string url = readLine(std::filesystem::path(dir) / "url");
    if (url.empty())
        why = "PostgreSQL could not be started: " + readLine(std::filesystem::path(dir) / "unavailable");
    return url;
}

inline bool runAdmin(const std::string& url, const std::string& sql) {
    PGconn* admin = PQconnectdb(url.c_str());
    PGresult* result = PQexec(admin, sql.c_str());
    const bool done = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
    PQfinish(admin);
    return done;
}

struct Database {
    Kind kind;
    std::string name;  // what --database takes
    std::string why;   // when empty: usable; else why the test must skip
    std::filesystem::path folder;
    std::string adminUrl, postgresName;

    explicit Database(Kind k) : kind(k) {
        static std::atomic<int> counter{0};
        const std::string unique = std::to_string(getpid()) + "_" + std::to_string(counter++);
        folder = std::filesystem::temp_directory_path() / ("wayloom-server-test-" + unique);
        std::filesystem::create_directories(folder);
        if (kind == Kind::sqlite) {
            name = (folder / "test.db").string();
            return;
        }
        adminUrl = postgresUrl(why);
        if (adminUrl.empty()) return;
        postgresName = "wayloom_test_" + unique;
        if (!runAdmin(adminUrl, "CREATE DATABASE " + postgresName)) {
            why = "cannot create a test database in " + adminUrl;
            return;
        }
        name = adminUrl;
        name.replace(name.find("/postgres?"), 9, "/" + postgresName);
    }
    ~Database() {
        if (!folder.empty()) std::filesystem::remove_all(folder);
        if (!postgresName.empty()) runAdmin(adminUrl, "DROP DATABASE " + postgresName + " WITH (FORCE)");
    }
};

}  // namespace testdb

// In a test of a suite with a Kind parameter: the test's database, or a skip.
#define WAYLOOM_TEST_DATABASE(variable)    \
    testdb::Database variable(GetParam()); \
    if (!variable.why.empty()) GTEST_SKIP() << variable.why
