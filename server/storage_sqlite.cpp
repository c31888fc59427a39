// The SQLite realisation of the storage: one file in WAL mode with full
// synchronisation, so a committed transaction survives a crash of the
// process or the machine; readers never wait for the writer.
//
// Divisions: statements; the schema and its migrations; accounts; positions.
#include <sqlite3.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "server/sqlitefile.hpp"
#include "server/storage.hpp"
#include "server/storage_realisations.hpp"

namespace {

constexpr int busyTimeoutMs = 5000;  // waiting for another writer (the retention, an account command)
// The write-ahead log is cut back to SQLite's checkpoint size (1000 pages of
// 4 KiB) after each checkpoint, rather than keeping the largest size a burst
// gave it.
constexpr int walSizeLimitBytes = 4 * 1024 * 1024;
// With less free space than this on the database's file system, the log is
// checkpointed and cut to nothing after every commit, so that it never holds
// space the rows need: a disk that filled up goes on once a little is freed.
constexpr unsigned long long lowSpaceBytes = 2ULL * walSizeLimitBytes;
// A commit failed (a full disk, most likely): the log is to be cut before the
// next one. One flag for the process, which serves one database.
std::atomic<bool> checkpointDue{false};

// One prepared statement, finalized with its owner.
struct Statement {
    sqlite3_stmt* handle = nullptr;
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(handle); }
};

// The schema, one migration per version; the version reached is kept in
// SQLite's user_version.
constexpr const char* migrations[] = {
    // 1: accounts and positions.
    "CREATE TABLE accounts ("
    " id INTEGER PRIMARY KEY,"
    " login TEXT NOT NULL UNIQUE,"
    " password_hash TEXT NOT NULL,"
    " admin INTEGER NOT NULL DEFAULT 0,"
    " enabled INTEGER NOT NULL DEFAULT 1,"
    " version INTEGER NOT NULL DEFAULT 1,"
    " created_us INTEGER NOT NULL);"
    "CREATE TABLE positions ("
    " id INTEGER PRIMARY KEY,"
    " account_id INTEGER NOT NULL REFERENCES accounts(id),"
    " received_us INTEGER NOT NULL,"
    " lat REAL NOT NULL,"
    " lon REAL NOT NULL,"
    " speed_knots REAL NOT NULL,"
    " client TEXT NOT NULL);"
    "CREATE INDEX positions_by_account ON positions(account_id, id);"
    "CREATE INDEX positions_by_time ON positions(received_us);"
    "CREATE TABLE generations (name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "INSERT INTO generations VALUES ('accounts', 1);",
    // 2: the time a position was taken beside its arrival, positions in
    // order of it, and a report that carried its time stored once.
    "ALTER TABLE positions ADD COLUMN time_us INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE positions ADD COLUMN time_sent INTEGER NOT NULL DEFAULT 0;"
    "UPDATE positions SET time_us = received_us;"
    "DROP INDEX positions_by_account;"
    "DROP INDEX positions_by_time;"
    "CREATE INDEX positions_by_account ON positions(account_id, time_us, id);"
    "CREATE INDEX positions_by_time ON positions(time_us, id);"
    "CREATE UNIQUE INDEX positions_sent_once ON positions(account_id, time_us) WHERE time_sent = 1;",
    // A report sent again is the same position at the same time; another
    // position at that time (a receiver whose clock stood still) is stored too.
    "DROP INDEX positions_sent_once;"
    "CREATE UNIQUE INDEX positions_sent_once"
    " ON positions(account_id, time_us, lat, lon, speed_knots) WHERE time_sent = 1;",
    // Device keys: the digest of an account's key, "" for an account with a password.
    "ALTER TABLE accounts ADD COLUMN key_digest TEXT NOT NULL DEFAULT '';",
    // The newest position of each account in a table of its own, kept with
    // every commit, so that the map and a start read one row per account
    // whatever the history holds; filled here from the positions stored.
    "CREATE TABLE last_positions ("
    " account_id INTEGER PRIMARY KEY REFERENCES accounts(id),"
    " id INTEGER NOT NULL,"
    " time_us INTEGER NOT NULL,"
    " received_us INTEGER NOT NULL,"
    " lat REAL NOT NULL,"
    " lon REAL NOT NULL,"
    " speed_knots REAL NOT NULL,"
    " client TEXT NOT NULL,"
    " time_sent INTEGER NOT NULL);"
    "INSERT INTO last_positions (id, account_id, time_us, received_us, lat, lon, speed_knots, client, "
    "time_sent)"
    " SELECT id, account_id, time_us, received_us, lat, lon, speed_knots, client, time_sent FROM positions"
    " WHERE id IN (SELECT (SELECT id FROM positions WHERE account_id = a.id"
    " ORDER BY time_us DESC, id DESC LIMIT 1) FROM accounts a);",
    // The measurements a client may add to a position, NULL when not sent.
    "ALTER TABLE positions ADD COLUMN course REAL;"
    "ALTER TABLE positions ADD COLUMN altitude REAL;"
    "ALTER TABLE positions ADD COLUMN accuracy REAL;"
    "ALTER TABLE positions ADD COLUMN battery REAL;"
    "ALTER TABLE positions ADD COLUMN hdop REAL;"
    "ALTER TABLE positions ADD COLUMN satellites INTEGER;"
    "ALTER TABLE last_positions ADD COLUMN course REAL;"
    "ALTER TABLE last_positions ADD COLUMN altitude REAL;"
    "ALTER TABLE last_positions ADD COLUMN accuracy REAL;"
    "ALTER TABLE last_positions ADD COLUMN battery REAL;"
    "ALTER TABLE last_positions ADD COLUMN hdop REAL;"
    "ALTER TABLE last_positions ADD COLUMN satellites INTEGER;",
    // Share links: a digest of each token, the account shown, and until when.
    "CREATE TABLE shares ("
    " id INTEGER PRIMARY KEY,"
    " token_digest TEXT NOT NULL UNIQUE,"
    " account_id INTEGER NOT NULL REFERENCES accounts(id),"
    " created_us INTEGER NOT NULL,"
    " expires_us INTEGER NOT NULL,"
    " track INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX shares_by_account ON shares(account_id, expires_us);",
};

class SqliteStorage final : public Storage {
  public:
    ~SqliteStorage() override {
        for (Statement* s : {&insertPosition_, &keepLastPosition_, &readAccountRange_, &readRange_}) {
            sqlite3_finalize(s->handle);
            s->handle = nullptr;
        }
        sqlite3_close_v2(db_);
    }

    bool open(std::string_view path, std::string& error) {
        const std::string file(path);
        path_ = file;
        // Only the first opening in a process creates the database; later
        // ones must find the file it opened.
        const DatabaseFile state = checkDatabaseFile(file);
        if (state == DatabaseFile::gone || state == DatabaseFile::replaced) {
            error = databaseFileProblem(file, state);
            return false;
        }
        const int create = state == DatabaseFile::first ? SQLITE_OPEN_CREATE : 0;
        if (create != 0 && !createPrivateDatabaseFile(file)) {
            error = file + ": cannot be created: " + std::strerror(errno);
            return false;
        }
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | create | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            error = file + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
            return false;
        }
        sqlite3_busy_timeout(db_, busyTimeoutMs);
        if (!run("PRAGMA journal_mode=WAL") || !run("PRAGMA synchronous=FULL") ||
            !run(("PRAGMA journal_size_limit=" + std::to_string(walSizeLimitBytes)).c_str()) ||
            !run("PRAGMA foreign_keys=ON") || !migrate()) {
            error = file + ": " + lastError_;
            return false;
        }
        if (state == DatabaseFile::first) recordDatabaseFile(file);
        return true;
    }

    AccountChange addAccount(const Account& account) override {
        Statement s;
        if (!prepare(s,
                     "INSERT INTO accounts (login, password_hash, admin, enabled, created_us, key_digest) "
                     "VALUES (?, ?, ?, ?, ?, ?)"))
            return AccountChange::failed;
        bindText(s, 1, account.login);
        bindText(s, 2, account.passwordHash);
        sqlite3_bind_int(s.handle, 3, account.admin ? 1 : 0);
        sqlite3_bind_int(s.handle, 4, account.enabled ? 1 : 0);
        sqlite3_bind_int64(s.handle, 5, nowUs());
        bindText(s, 6, account.keyDigest);
        if (!begin()) return AccountChange::failed;
        const int stepped = sqlite3_step(s.handle);
        if (stepped == SQLITE_CONSTRAINT) {
            rollback();
            return AccountChange::loginTaken;
        }
        if (stepped != SQLITE_DONE || !bumpGeneration() || !commit()) return failAccount();
        return AccountChange::done;
    }

    AccountChange setPassword(std::string_view login, std::string_view passwordHash) override {
        return changeAccount(
            "UPDATE accounts SET password_hash = ?2, key_digest = '', version = version + 1 WHERE login = ?1",
            login, passwordHash, -1);
    }

    AccountChange setKey(std::string_view login, std::string_view keyDigest) override {
        return changeAccount(
            "UPDATE accounts SET key_digest = ?2, password_hash = '', version = version + 1 WHERE login = ?1",
            login, keyDigest, -1);
    }

    AccountChange setEnabled(std::string_view login, bool enabled) override {
        return changeAccount("UPDATE accounts SET enabled = ?3, version = version + 1 WHERE login = ?1",
                             login, {}, enabled ? 1 : 0);
    }

    bool listAccounts(std::vector<Account>& accounts) override {
        accounts.clear();
        Statement s;
        if (!prepare(s,
                     "SELECT id, login, password_hash, admin, enabled, version, key_digest FROM accounts"
                     " ORDER BY login"))
            return false;
        int stepped = 0;
        while ((stepped = sqlite3_step(s.handle)) == SQLITE_ROW) {
            Account account;
            account.id = sqlite3_column_int64(s.handle, 0);
            account.login = columnText(s, 1);
            account.passwordHash = columnText(s, 2);
            account.admin = sqlite3_column_int(s.handle, 3) != 0;
            account.enabled = sqlite3_column_int(s.handle, 4) != 0;
            account.version = sqlite3_column_int64(s.handle, 5);
            account.keyDigest = columnText(s, 6);
            accounts.push_back(std::move(account));
        }
        return finished(stepped);
    }

    bool accountsGeneration(std::int64_t& generation) override {
        Statement s;
        if (!prepare(s, "SELECT value FROM generations WHERE name = 'accounts'")) return false;
        const int stepped = sqlite3_step(s.handle);
        if (stepped != SQLITE_ROW) return finished(stepped) && false;
        generation = sqlite3_column_int64(s.handle, 0);
        return true;
    }

    AccountChange deleteAccount(std::string_view login, long long& positions) override {
        positions = 0;
        if (!begin()) return AccountChange::failed;
        std::int64_t id = 0;
        {
            Statement s;
            if (!prepare(s, "SELECT id FROM accounts WHERE login = ?")) return failAccount();
            bindText(s, 1, login);
            const int stepped = sqlite3_step(s.handle);
            if (stepped == SQLITE_DONE) {
                rollback();
                return AccountChange::noSuchAccount;
            }
            if (stepped != SQLITE_ROW) return failAccount();
            id = sqlite3_column_int64(s.handle, 0);
        }
        long long shares = 0, last = 0, accounts = 0;
        if (!deleteRows("DELETE FROM shares WHERE account_id = ?", id, shares) ||
            !deleteRows("DELETE FROM last_positions WHERE account_id = ?", id, last) ||
            !deleteRows("DELETE FROM positions WHERE account_id = ?", id, positions) ||
            !deleteRows("DELETE FROM accounts WHERE id = ?", id, accounts))
            return failAccount();
        if (!bumpGeneration() || !commit()) return failAccount();
        return AccountChange::done;
    }

    bool countAccountPositions(std::int64_t accountId, long long& count) override {
        Statement s;
        if (!prepare(s, "SELECT count(*) FROM positions WHERE account_id = ?")) return false;
        sqlite3_bind_int64(s.handle, 1, accountId);
        if (sqlite3_step(s.handle) != SQLITE_ROW) return finished(SQLITE_ERROR);
        count = sqlite3_column_int64(s.handle, 0);
        return true;
    }

    bool addShare(Share& share) override {
        Statement drop, add;
        if (!prepare(drop, "DELETE FROM shares WHERE expires_us <= ?") ||
            !prepare(add,
                     "INSERT INTO shares (token_digest, account_id, created_us, expires_us, track)"
                     " VALUES (?, ?, ?, ?, ?)"))
            return false;
        sqlite3_bind_int64(drop.handle, 1, share.createdUs);
        bindText(add, 1, share.tokenDigest);
        sqlite3_bind_int64(add.handle, 2, share.accountId);
        sqlite3_bind_int64(add.handle, 3, share.createdUs);
        sqlite3_bind_int64(add.handle, 4, share.expiresUs);
        sqlite3_bind_int(add.handle, 5, share.track ? 1 : 0);
        if (!begin()) return false;
        if (sqlite3_step(drop.handle) != SQLITE_DONE || sqlite3_step(add.handle) != SQLITE_DONE) {
            failAccount();
            return false;
        }
        share.id = sqlite3_last_insert_rowid(db_);
        return commit();
    }

    bool listShares(std::int64_t accountId, std::int64_t now, std::vector<Share>& shares) override {
        shares.clear();
        Statement s;
        if (!prepare(
                s,
                "SELECT id, token_digest, account_id, created_us, expires_us, track FROM shares"
                " WHERE (?1 = 0 OR account_id = ?1) AND expires_us > ?2 ORDER BY created_us DESC, id DESC"))
            return false;
        sqlite3_bind_int64(s.handle, 1, accountId);
        sqlite3_bind_int64(s.handle, 2, now);
        int stepped = 0;
        while ((stepped = sqlite3_step(s.handle)) == SQLITE_ROW) shares.push_back(shareOf(s));
        return finished(stepped);
    }

    bool findShare(std::string_view tokenDigest, Share& share, bool& found) override {
        Statement s;
        found = false;
        if (!prepare(s,
                     "SELECT id, token_digest, account_id, created_us, expires_us, track FROM shares"
                     " WHERE token_digest = ?"))
            return false;
        bindText(s, 1, tokenDigest);
        const int stepped = sqlite3_step(s.handle);
        if (stepped == SQLITE_ROW) {
            share = shareOf(s);
            found = true;
            return true;
        }
        return finished(stepped);
    }

    bool deleteShare(std::int64_t id, bool& deleted) override {
        Statement s;
        if (!prepare(s, "DELETE FROM shares WHERE id = ?")) return false;
        sqlite3_bind_int64(s.handle, 1, id);
        if (!finished(sqlite3_step(s.handle))) return false;
        deleted = sqlite3_changes(db_) > 0;
        return true;
    }

    bool insertPositions(std::span<const Position> positions) override {
        if (!stillTheFile()) return false;  // rows written there would be lost
        if (checkpointDue && truncateLog()) checkpointDue = false;
        if (insertOnce(positions)) {
            if (spaceIsLow()) truncateLog();
            return true;
        }
        const std::string failure = lastError_;
        if (truncateLog() && insertOnce(positions)) return true;
        checkpointDue = true;
        lastError_ = failure;
        return false;
    }

    // Checkpoints the write-ahead log and cuts it to nothing, giving its
    // space back; false when the checkpoint cannot complete (no space for
    // the rows it moves, a reader in the way).
    // False, with the reason in lastError_, once the file at the path is not
    // the one this process opened first (deleted, or replaced).
    bool stillTheFile() {
        const DatabaseFile state = checkDatabaseFile(path_);
        if (state != DatabaseFile::gone && state != DatabaseFile::replaced) return true;
        lastError_ = databaseFileProblem(path_, state);
        return false;
    }

    bool spaceIsLow() const {
        struct statvfs space {};
        return statvfs(path_.c_str(), &space) == 0 &&
               static_cast<unsigned long long>(space.f_bavail) * space.f_frsize < lowSpaceBytes;
    }

    bool truncateLog() {
        return sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) ==
               SQLITE_OK;
    }

    // One transaction for the positions; false (rolled back) on failure.
    bool insertOnce(std::span<const Position> positions) {
        if (insertPosition_.handle == nullptr &&
            !prepare(insertPosition_,
                     "INSERT INTO positions"
                     " (account_id, time_us, received_us, lat, lon, speed_knots, client, time_sent,"
                     " course, altitude, accuracy, battery, hdop, satellites)"
                     " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING"))
            return false;
        if (keepLastPosition_.handle == nullptr &&
            !prepare(keepLastPosition_, "INSERT INTO last_positions (" + std::string(positionColumns) +
                                            ") SELECT " + positionColumns + " FROM positions WHERE id = ?" +
                                            newerReplacesLastPosition()))
            return false;
        if (!begin()) return false;
        for (const Position& p : positions) {
            sqlite3_stmt* s = insertPosition_.handle;
            sqlite3_reset(s);
            sqlite3_bind_int64(s, 1, p.accountId);
            sqlite3_bind_int64(s, 2, p.timeUs);
            sqlite3_bind_int64(s, 3, p.receivedUs);
            sqlite3_bind_double(s, 4, p.lat);
            sqlite3_bind_double(s, 5, p.lon);
            sqlite3_bind_double(s, 6, p.speedKnots);
            bindText(insertPosition_, 7, p.client);
            sqlite3_bind_int(s, 8, p.timeSent ? 1 : 0);
            bindExtras(s, 9, p.extras);
            const bool stored = sqlite3_step(s) == SQLITE_DONE;
            sqlite3_reset(s);
            if (!stored || (sqlite3_changes(db_) == 1 && !keepLastPosition(sqlite3_last_insert_rowid(db_)))) {
                lastError_ = sqlite3_errmsg(db_);
                rollback();
                return false;
            }
        }
        return commit();
    }

    // The position of id, just stored, as its account's last when it is newer.
    bool keepLastPosition(sqlite3_int64 id) {
        sqlite3_stmt* s = keepLastPosition_.handle;
        sqlite3_bind_int64(s, 1, id);
        const bool kept = sqlite3_step(s) == SQLITE_DONE;
        sqlite3_reset(s);
        return kept;
    }

    bool readPositions(const PositionRange& range, std::size_t limit,
                       std::vector<StoredPosition>& batch) override {
        batch.clear();
        // One statement per shape, so that each walks its own index from the
        // start of the range: a range deep in the history costs what one at
        // its start costs.
        const bool oneAccount = range.accountId != 0;
        Statement& statement = oneAccount ? readAccountRange_ : readRange_;
        if (statement.handle == nullptr &&
            !prepare(statement, oneAccount ? "SELECT " + std::string(positionColumns) +
                                                 " FROM positions WHERE account_id = ?1 AND time_us >= ?2"
                                                 " AND time_us < ?3 AND (time_us > ?4 OR id > ?5)"
                                                 " ORDER BY time_us, id LIMIT ?6"
                                           : "SELECT " + std::string(positionColumns) +
                                                 " FROM positions WHERE ?1 = 0 AND time_us >= ?2"
                                                 " AND time_us < ?3 AND (time_us > ?4 OR id > ?5)"
                                                 " ORDER BY time_us, id LIMIT ?6"))
            return false;
        sqlite3_stmt* s = statement.handle;
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, range.accountId);
        sqlite3_bind_int64(s, 2, std::max(range.fromUs, range.afterTimeUs));
        sqlite3_bind_int64(s, 3, range.toUs);
        sqlite3_bind_int64(s, 4, range.afterTimeUs);
        sqlite3_bind_int64(s, 5, range.afterId);
        sqlite3_bind_int64(s, 6, static_cast<sqlite3_int64>(limit));
        const bool read = readStoredPositions(statement, batch);
        sqlite3_reset(s);
        return read;
    }

    bool lastPositions(std::vector<StoredPosition>& positions) override {
        positions.clear();
        Statement s;
        return prepare(s, "SELECT " + std::string(positionColumns) +
                              " FROM last_positions ORDER BY account_id") &&
               readStoredPositions(s, positions);
    }

    long long deletePositionsBefore(std::int64_t cutoffUs, std::size_t limit) override {
        Statement s;
        if (!prepare(s,
                     "DELETE FROM positions WHERE id IN"
                     " (SELECT id FROM positions WHERE time_us < ? ORDER BY time_us LIMIT ?)"))
            return -1;
        sqlite3_bind_int64(s.handle, 1, cutoffUs);
        sqlite3_bind_int64(s.handle, 2, static_cast<sqlite3_int64>(limit));
        if (sqlite3_step(s.handle) != SQLITE_DONE) {
            lastError_ = sqlite3_errmsg(db_);
            return -1;
        }
        const int deleted = sqlite3_changes(db_);
        // The last batch: the accounts whose newest position has gone have none.
        if (static_cast<std::size_t>(deleted) < limit && !forgetLastPositionsBefore(cutoffUs)) return -1;
        return deleted;
    }

    bool forgetLastPositionsBefore(std::int64_t cutoffUs) {
        Statement s;
        if (!prepare(s, "DELETE FROM last_positions WHERE time_us < ?")) return false;
        sqlite3_bind_int64(s.handle, 1, cutoffUs);
        return finished(sqlite3_step(s.handle));
    }

    bool countPositions(long long& count) override {
        Statement s;
        if (!prepare(s, "SELECT count(*) FROM positions") || sqlite3_step(s.handle) != SQLITE_ROW)
            return false;
        count = sqlite3_column_int64(s.handle, 0);
        return true;
    }

    bool keepsDays() const override { return false; }
    bool prepareDays(std::int64_t, std::int64_t) override { return true; }
    long long dropDaysBefore(std::int64_t) override { return 0; }

    bool answers() override {
        // A file deleted or replaced under the server would still answer through its descriptor.
        const DatabaseFile state = checkDatabaseFile(path_);
        if (state == DatabaseFile::gone || state == DatabaseFile::replaced) {
            lastError_ = databaseFileProblem(path_, state);
            return false;
        }
        Statement s;
        return stillTheFile() && prepare(s, "SELECT count(*) FROM accounts") &&
               sqlite3_step(s.handle) == SQLITE_ROW;
    }

    std::string lastError() const override { return lastError_; }

  private:
    sqlite3* db_ = nullptr;
    std::string path_;
    std::string lastError_;
    Statement insertPosition_;
    Statement keepLastPosition_;
    Statement readAccountRange_;  // of one account
    Statement readRange_;         // of every account

    bool run(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
        lastError_ = message != nullptr ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        return false;
    }

    bool prepare(Statement& s, const std::string& sql) {
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s.handle, nullptr) == SQLITE_OK) return true;
        lastError_ = sqlite3_errmsg(db_);
        return false;
    }

    bool finished(int stepped) {
        if (stepped == SQLITE_DONE) return true;
        lastError_ = sqlite3_errmsg(db_);
        return false;
    }

    void bindText(Statement& s, int index, std::string_view text) {
        sqlite3_bind_text(s.handle, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }

    // The extras as six parameters from first on, NULL where absent.
    static void bindExtras(sqlite3_stmt* s, int first, const PositionExtras& extras) {
        int index = first;
        for (const std::optional<double>* value :
             {&extras.courseDegrees, &extras.altitudeMetres, &extras.accuracyMetres, &extras.batteryPercent,
              &extras.hdop}) {
            if (value->has_value())
                sqlite3_bind_double(s, index, **value);
            else
                sqlite3_bind_null(s, index);
            ++index;
        }
        if (extras.satellites.has_value())
            sqlite3_bind_int(s, index, *extras.satellites);
        else
            sqlite3_bind_null(s, index);
    }

    // The extras from six columns from first on.
    static void readExtras(sqlite3_stmt* s, int first, PositionExtras& extras) {
        int index = first;
        for (std::optional<double>* value : {&extras.courseDegrees, &extras.altitudeMetres,
                                             &extras.accuracyMetres, &extras.batteryPercent, &extras.hdop}) {
            if (sqlite3_column_type(s, index) != SQLITE_NULL) *value = sqlite3_column_double(s, index);
            ++index;
        }
        if (sqlite3_column_type(s, index) != SQLITE_NULL) extras.satellites = sqlite3_column_int(s, index);
    }

    static std::string columnText(Statement& s, int index) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s.handle, index));
        return text == nullptr
                   ? std::string()
                   : std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s.handle, index)));
    }

    // Runs a DELETE of the rows of id; deleted is how many went.
    bool deleteRows(const char* sql, std::int64_t id, long long& deleted) {
        Statement s;
        if (!prepare(s, sql)) return false;
        sqlite3_bind_int64(s.handle, 1, id);
        if (sqlite3_step(s.handle) != SQLITE_DONE) return false;
        deleted = sqlite3_changes(db_);
        return true;
    }

    static Share shareOf(Statement& s) {
        Share share;
        share.id = sqlite3_column_int64(s.handle, 0);
        share.tokenDigest = columnText(s, 1);
        share.accountId = sqlite3_column_int64(s.handle, 2);
        share.createdUs = sqlite3_column_int64(s.handle, 3);
        share.expiresUs = sqlite3_column_int64(s.handle, 4);
        share.track = sqlite3_column_int(s.handle, 5) != 0;
        return share;
    }

    bool readStoredPositions(Statement& s, std::vector<StoredPosition>& out) {
        int stepped = 0;
        while ((stepped = sqlite3_step(s.handle)) == SQLITE_ROW) {
            StoredPosition stored;
            stored.id = sqlite3_column_int64(s.handle, 0);
            stored.position.accountId = sqlite3_column_int64(s.handle, 1);
            stored.position.timeUs = sqlite3_column_int64(s.handle, 2);
            stored.position.receivedUs = sqlite3_column_int64(s.handle, 3);
            stored.position.lat = sqlite3_column_double(s.handle, 4);
            stored.position.lon = sqlite3_column_double(s.handle, 5);
            stored.position.speedKnots = sqlite3_column_double(s.handle, 6);
            stored.position.client = columnText(s, 7);
            stored.position.timeSent = sqlite3_column_int(s.handle, 8) != 0;
            readExtras(s.handle, 9, stored.position.extras);
            out.push_back(std::move(stored));
        }
        return finished(stepped);
    }

    // BEGIN IMMEDIATE takes the write lock at once, so a busy database is
    // waited for here (busyTimeoutMs) rather than failing halfway.
    bool begin() { return run("BEGIN IMMEDIATE"); }
    bool commit() {
        if (run("COMMIT")) return true;
        rollback();
        return false;
    }
    void rollback() { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }

    bool bumpGeneration() { return run("UPDATE generations SET value = value + 1 WHERE name = 'accounts'"); }

    AccountChange failAccount() {
        lastError_ = sqlite3_errmsg(db_);
        rollback();
        return AccountChange::failed;
    }

    // sql updates the account of login ?1 with ?2 (text) or ?3 (integer).
    AccountChange changeAccount(const char* sql, std::string_view login, std::string_view text, int number) {
        Statement s;
        if (!prepare(s, sql)) return AccountChange::failed;
        bindText(s, 1, login);
        if (number < 0) {
            bindText(s, 2, text);
        } else {
            sqlite3_bind_int(s.handle, 3, number);
        }
        if (!begin()) return AccountChange::failed;
        if (sqlite3_step(s.handle) != SQLITE_DONE) return failAccount();
        if (sqlite3_changes(db_) == 0) {
            rollback();
            return AccountChange::noSuchAccount;
        }
        if (!bumpGeneration() || !commit()) return failAccount();
        return AccountChange::done;
    }

    bool migrate() {
        if (!run("BEGIN IMMEDIATE")) return false;
        Statement s;
        if (!prepare(s, "PRAGMA user_version") || sqlite3_step(s.handle) != SQLITE_ROW) {
            rollback();
            return false;
        }
        const auto version = static_cast<std::size_t>(sqlite3_column_int(s.handle, 0));
        sqlite3_finalize(s.handle);
        s.handle = nullptr;
        constexpr std::size_t latest = std::size(migrations);
        if (version > latest) {
            lastError_ =
                "the database was made by a newer wayloom-server (schema " + std::to_string(version) + ")";
            rollback();
            return false;
        }
        for (std::size_t next = version; next < latest; ++next) {
            if (!run(migrations[next]) ||
                !run(("PRAGMA user_version = " + std::to_string(next + 1)).c_str())) {
                rollback();
                return false;
            }
        }
        return commit();
    }
};

}  // namespace

std::unique_ptr<Storage> openSqliteStorage(std::string_view path, std::string& error) {
    auto storage = std::make_unique<SqliteStorage>();
    if (!storage->open(path, error)) return nullptr;
    return storage;
}
