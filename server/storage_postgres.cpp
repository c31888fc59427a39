// The PostgreSQL realisation of the storage, through libpq. Several servers
// may share one database: the schema is migrated under an advisory lock, and
// a group of positions goes over in one statement (arrays unnested), so a
// commit costs one round trip whatever its size.
//
// Divisions: results and parameters; the schema and its migrations;
// accounts; positions.
#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <set>

#include "server/storage.hpp"
#include "server/storage_realisations.hpp"

namespace {

constexpr long long migrationLockKey = 0x5761796c6f6f6d;  // one lock for every server of the database
// wayloom_position_day takes migrationLockKey + 1 (24595497112006510) while it makes a day.

// A result, cleared with its owner.
struct Result {
    PGresult* handle = nullptr;
    explicit Result(PGresult* r) : handle(r) {}
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result() { PQclear(handle); }
    ExecStatusType status() const { return PQresultStatus(handle); }
    int rows() const { return PQntuples(handle); }
    std::string_view text(int row, int column) const {
        return {PQgetvalue(handle, row, column), static_cast<std::size_t>(PQgetlength(handle, row, column))};
    }
    long long integer(int row, int column) const {
        return std::strtoll(PQgetvalue(handle, row, column), nullptr, 10);
    }
    double real(int row, int column) const { return std::strtod(PQgetvalue(handle, row, column), nullptr); }
};

// Schema versions; the version reached is the row of wayloom_schema.
constexpr const char* migrations[] = {
    // 1: accounts and positions.
    "CREATE TABLE accounts ("
    " id BIGSERIAL PRIMARY KEY,"
    " login TEXT NOT NULL UNIQUE,"
    " password_hash TEXT NOT NULL,"
    " admin BOOLEAN NOT NULL DEFAULT FALSE,"
    " enabled BOOLEAN NOT NULL DEFAULT TRUE,"
    " version BIGINT NOT NULL DEFAULT 1,"
    " created_us BIGINT NOT NULL);"
    "CREATE TABLE positions ("
    " id BIGSERIAL PRIMARY KEY,"
    " account_id BIGINT NOT NULL REFERENCES accounts(id),"
    " received_us BIGINT NOT NULL,"
    " lat DOUBLE PRECISION NOT NULL,"
    " lon DOUBLE PRECISION NOT NULL,"
    " speed_knots DOUBLE PRECISION NOT NULL,"
    " client TEXT NOT NULL);"
    "CREATE INDEX positions_by_account ON positions(account_id, id);"
    "CREATE INDEX positions_by_time ON positions(received_us);"
    "CREATE TABLE generations (name TEXT PRIMARY KEY, value BIGINT NOT NULL);"
    "INSERT INTO generations VALUES ('accounts', 1);",
    // 2: the time a position was taken beside its arrival, positions in
    // order of it, and a report that carried its time stored once.
    "ALTER TABLE positions ADD COLUMN time_us BIGINT;"
    "ALTER TABLE positions ADD COLUMN time_sent BOOLEAN NOT NULL DEFAULT FALSE;"
    "UPDATE positions SET time_us = received_us;"
    "ALTER TABLE positions ALTER COLUMN time_us SET NOT NULL;"
    "DROP INDEX positions_by_account;"
    "DROP INDEX positions_by_time;"
    "CREATE INDEX positions_by_account ON positions(account_id, time_us, id);"
    "CREATE INDEX positions_by_time ON positions(time_us, id);"
    "CREATE UNIQUE INDEX positions_sent_once ON positions(account_id, time_us) WHERE time_sent;",
    // 3: positions kept in one partition per UTC day of their time, each made
    // by wayloom_position_day (under a lock, as several servers may ask at
    // once); the positions of an older database move over in this transaction.
    "ALTER TABLE positions RENAME TO positions_unpartitioned;"
    "DROP INDEX positions_by_account, positions_by_time, positions_sent_once;"
    "CREATE TABLE positions ("
    " id BIGINT NOT NULL DEFAULT nextval('positions_id_seq'),"
    " account_id BIGINT NOT NULL REFERENCES accounts(id),"
    " received_us BIGINT NOT NULL,"
    " lat DOUBLE PRECISION NOT NULL,"
    " lon DOUBLE PRECISION NOT NULL,"
    " speed_knots DOUBLE PRECISION NOT NULL,"
    " client TEXT NOT NULL,"
    " time_us BIGINT NOT NULL,"
    " time_sent BOOLEAN NOT NULL DEFAULT FALSE) PARTITION BY RANGE (time_us);"
    "ALTER SEQUENCE positions_id_seq OWNED BY positions.id;"
    "CREATE INDEX positions_by_account ON positions(account_id, time_us, id);"
    "CREATE INDEX positions_by_time ON positions(time_us, id);"
    "CREATE UNIQUE INDEX positions_sent_once ON positions(account_id, time_us) WHERE time_sent;"
    "CREATE FUNCTION wayloom_position_day(day BIGINT) RETURNS VOID LANGUAGE plpgsql AS $$"
    " DECLARE name TEXT := 'positions_' || to_char(date '1970-01-01' + day::integer, 'YYYYMMDD');"
    " BEGIN"
    "  PERFORM pg_advisory_xact_lock(24595497112006510);"
    "  IF to_regclass(name) IS NULL THEN"
    "   EXECUTE format('CREATE TABLE %I PARTITION OF positions FOR VALUES FROM (%s) TO (%s)',"
    "                  name, day * 86400000000, (day + 1) * 86400000000);"
    "  END IF;"
    " END $$;"
    "SELECT wayloom_position_day(day) FROM"
    " (SELECT DISTINCT div(time_us, 86400000000)::bigint AS day FROM positions_unpartitioned) days;"
    "INSERT INTO positions (id, account_id, received_us, lat, lon, speed_knots, client, time_us, time_sent)"
    " SELECT id, account_id, received_us, lat, lon, speed_knots, client, time_us, time_sent"
    " FROM positions_unpartitioned;"
    "DROP TABLE positions_unpartitioned;",
    // A report sent again is the same position at the same time; another
    // position at that time (a receiver whose clock stood still) is stored too.
    "DROP INDEX positions_sent_once;"
    "CREATE UNIQUE INDEX positions_sent_once"
    " ON positions(account_id, time_us, lat, lon, speed_knots) WHERE time_sent;",
    // Device keys: the digest of an account's key, '' for an account with a password.
    "ALTER TABLE accounts ADD COLUMN key_digest TEXT NOT NULL DEFAULT '';",
    // The newest position of each account in a table of its own, kept with
    // every commit, so that the map and a start read one row per account
    // whatever the history holds. fillLastPositions fills it from the
    // positions stored, a slice of days per transaction, and drops the
    // marker when done.
    "CREATE TABLE last_positions ("
    " account_id BIGINT PRIMARY KEY REFERENCES accounts(id),"
    " id BIGINT NOT NULL,"
    " time_us BIGINT NOT NULL,"
    " received_us BIGINT NOT NULL,"
    " lat DOUBLE PRECISION NOT NULL,"
    " lon DOUBLE PRECISION NOT NULL,"
    " speed_knots DOUBLE PRECISION NOT NULL,"
    " client TEXT NOT NULL,"
    " time_sent BOOLEAN NOT NULL);"
    "CREATE TABLE last_positions_unfilled (from_us BIGINT NOT NULL);"
    "INSERT INTO last_positions_unfilled VALUES (-9223372036854775808);",
    // The measurements a client may add to a position, NULL when not sent.
    "ALTER TABLE positions ADD COLUMN course DOUBLE PRECISION,"
    " ADD COLUMN altitude DOUBLE PRECISION, ADD COLUMN accuracy DOUBLE PRECISION,"
    " ADD COLUMN battery DOUBLE PRECISION, ADD COLUMN hdop DOUBLE PRECISION, ADD COLUMN satellites INTEGER;"
    "ALTER TABLE last_positions ADD COLUMN course DOUBLE PRECISION,"
    " ADD COLUMN altitude DOUBLE PRECISION, ADD COLUMN accuracy DOUBLE PRECISION,"
    " ADD COLUMN battery DOUBLE PRECISION, ADD COLUMN hdop DOUBLE PRECISION, ADD COLUMN satellites INTEGER;",
    // Share links: a digest of each token, the account shown, and until when.
    "CREATE TABLE shares ("
    " id BIGSERIAL PRIMARY KEY,"
    " token_digest TEXT NOT NULL UNIQUE,"
    " account_id BIGINT NOT NULL REFERENCES accounts(id),"
    " created_us BIGINT NOT NULL,"
    " expires_us BIGINT NOT NULL,"
    " track BOOLEAN NOT NULL DEFAULT FALSE);"
    "CREATE INDEX shares_by_account ON shares(account_id, expires_us);",
};

// A statement that reads positions over many days locks each day's table
// and its indexes until it ends, and PostgreSQL's lock table holds
// max_locks_per_transaction (64 by default) per connection: a read over a
// long range goes in slices of at most this many days that have a table.
constexpr int sliceDaysMax = 31;
// The days a table can be named for ("positions_YYYYMMDD"): 0001-01-01 to 9999-12-31.
constexpr std::int64_t firstNamedDay = -719162, lastNamedDay = 2932896;

// The UTC day of a time, counted from 1970-01-01.
std::int64_t dayOf(std::int64_t us) {
    return us / dayUs - (us % dayUs < 0 ? 1 : 0);
}

// The name wayloom_position_day gives the table of a day (from firstNamedDay
// to lastNamedDay): "positions_20261207".
std::string dayTableName(std::int64_t day) {
    const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{day}}};
    std::array<char, 32> name{};
    std::snprintf(name.data(), name.size(), "positions_%04d%02u%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return name.data();
}

// The day of a table named "positions_YYYYMMDD".
std::int64_t dayOfTableName(std::string_view name) {
    const auto number = [name](std::size_t at, std::size_t length) {
        int value = 0;
        std::from_chars(name.data() + at, name.data() + at + length, value);
        return value;
    };
    const std::chrono::year_month_day date{std::chrono::year{number(10, 4)},
                                           std::chrono::month{static_cast<unsigned>(number(14, 2))},
                                           std::chrono::day{static_cast<unsigned>(number(16, 2))}};
    return std::chrono::sys_days{date}.time_since_epoch().count();
}

// A double written so that it reads back as the same double.
void appendNumber(std::string& out, double value) {
    std::array<char, 32> text;
    const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
    out.append(text.data(), end);
}

void appendNumber(std::string& out, long long value) {
    out += std::to_string(value);
}

void appendNumber(std::string& out, bool value) {
    out += value ? 't' : 'f';
}

template <typename Number>
void appendNumber(std::string& out, const std::optional<Number>& value) {
    if (value.has_value())
        appendNumber(out, *value);
    else
        out += "NULL";
}

// "{a,b,c}" of the values picked from positions; client addresses hold only
// hexadecimal digits, "." and ":", so no element needs quoting.
template <typename Pick>
std::string arrayOf(std::span<const Position> positions, Pick pick) {
    std::string out("{");
    for (const Position& p : positions) {
        if (out.size() > 1) out += ',';
        if constexpr (std::is_same_v<decltype(pick(p)), const std::string&>) {
            out += '"';
            for (const char c : pick(p)) {
                if (c == '"' || c == '\\') out += '\\';
                out += c;
            }
            out += '"';
        } else {
            appendNumber(out, pick(p));
        }
    }
    out += '}';
    return out;
}

class PostgresStorage final : public Storage {
  public:
    ~PostgresStorage() override { PQfinish(db_); }

    bool open(std::string_view connection, std::string& error) {
        const std::string text(connection);
        db_ = PQconnectdb(text.c_str());
        if (PQstatus(db_) != CONNECTION_OK) {
            error = std::string("PostgreSQL: ") + PQerrorMessage(db_);
            while (!error.empty() && error.back() == '\n') error.pop_back();
            return false;
        }
        // Quiet notices ("relation exists"), and a stuck statement fails rather than hangs.
        PQsetNoticeProcessor(
            db_, [](void*, const char*) {}, nullptr);
        if (!run("SET statement_timeout = '10s'") || !migrate()) {
            error = "PostgreSQL: " + lastError_;
            return false;
        }
        return true;
    }

    AccountChange addAccount(const Account& account) override {
        const std::string admin = account.admin ? "true" : "false";
        const std::string enabled = account.enabled ? "true" : "false";
        const std::string created = std::to_string(nowUs());
        if (!run("BEGIN")) return AccountChange::failed;
        Result r = exec(
            "INSERT INTO accounts (login, password_hash, admin, enabled, created_us, key_digest)"
            " VALUES ($1, $2, $3, $4, $5, $6)",
            {account.login, account.passwordHash, admin, enabled, created, account.keyDigest});
        if (r.status() != PGRES_COMMAND_OK) {
            const char* state = PQresultErrorField(r.handle, PG_DIAG_SQLSTATE);
            const bool taken = state != nullptr && std::string_view(state) == "23505";  // unique_violation
            fail(r);
            run("ROLLBACK");
            return taken ? AccountChange::loginTaken : AccountChange::failed;
        }
        return bumpGenerationAndCommit() ? AccountChange::done : AccountChange::failed;
    }

    AccountChange setPassword(std::string_view login, std::string_view passwordHash) override {
        return changeAccount(
            "UPDATE accounts SET password_hash = $2, key_digest = '', version = version + 1 WHERE login = $1",
            login, passwordHash);
    }

    AccountChange setKey(std::string_view login, std::string_view keyDigest) override {
        return changeAccount(
            "UPDATE accounts SET key_digest = $2, password_hash = '', version = version + 1 WHERE login = $1",
            login, keyDigest);
    }

    AccountChange setEnabled(std::string_view login, bool enabled) override {
        return changeAccount("UPDATE accounts SET enabled = $2, version = version + 1 WHERE login = $1",
                             login, enabled ? "true" : "false");
    }

    bool listAccounts(std::vector<Account>& accounts) override {
        accounts.clear();
        Result r = exec(
            "SELECT id, login, password_hash, admin, enabled, version, key_digest FROM accounts"
            " ORDER BY login",
            {});
        if (r.status() != PGRES_TUPLES_OK) return fail(r);
        for (int row = 0; row < r.rows(); ++row) {
            Account account;
            account.id = r.integer(row, 0);
            account.login = r.text(row, 1);
            account.passwordHash = r.text(row, 2);
            account.admin = r.text(row, 3) == "t";
            account.enabled = r.text(row, 4) == "t";
            account.version = r.integer(row, 5);
            account.keyDigest = r.text(row, 6);
            accounts.push_back(std::move(account));
        }
        return true;
    }

    bool accountsGeneration(std::int64_t& generation) override {
        Result r = exec("SELECT value FROM generations WHERE name = 'accounts'", {});
        if (r.status() != PGRES_TUPLES_OK || r.rows() != 1) return fail(r);
        generation = r.integer(0, 0);
        return true;
    }

    AccountChange deleteAccount(std::string_view login, long long& positions) override {
        positions = 0;
        if (!run("BEGIN")) return AccountChange::failed;
        Result found = exec("SELECT id FROM accounts WHERE login = $1 FOR UPDATE", {std::string(login)});
        if (found.status() != PGRES_TUPLES_OK || found.rows() != 1) {
            const bool none = found.status() == PGRES_TUPLES_OK;
            if (!none) fail(found);
            run("ROLLBACK");
            return none ? AccountChange::noSuchAccount : AccountChange::failed;
        }
        const std::string id(found.text(0, 0));
        Result shares = exec("DELETE FROM shares WHERE account_id = $1", {id});
        Result last = exec("DELETE FROM last_positions WHERE account_id = $1", {id});
        Result deleted = exec("DELETE FROM positions WHERE account_id = $1", {id});
        Result account = exec("DELETE FROM accounts WHERE id = $1", {id});
        for (const Result* r : {&shares, &last, &deleted, &account}) {
            if (r->status() != PGRES_COMMAND_OK) {
                fail(*r);
                run("ROLLBACK");
                return AccountChange::failed;
            }
        }
        positions = std::strtoll(PQcmdTuples(deleted.handle), nullptr, 10);
        return bumpGenerationAndCommit() ? AccountChange::done : AccountChange::failed;
    }

    bool countAccountPositions(std::int64_t accountId, long long& count) override {
        Result r = exec("SELECT count(*) FROM positions WHERE account_id = $1", {std::to_string(accountId)});
        if (r.status() != PGRES_TUPLES_OK) return fail(r);
        count = r.integer(0, 0);
        return true;
    }

    bool addShare(Share& share) override {
        const std::string created = std::to_string(share.createdUs);
        Result dropped = exec("DELETE FROM shares WHERE expires_us <= $1", {created});
        if (dropped.status() != PGRES_COMMAND_OK) return fail(dropped);
        Result r = exec(
            "INSERT INTO shares (token_digest, account_id, created_us, expires_us, track)"
            " VALUES ($1, $2, $3, $4, $5) RETURNING id",
            {share.tokenDigest, std::to_string(share.accountId), created, std::to_string(share.expiresUs),
             share.track ? "true" : "false"});
        if (r.status() != PGRES_TUPLES_OK || r.rows() != 1) return fail(r);
        share.id = r.integer(0, 0);
        return true;
    }

    bool listShares(std::int64_t accountId, std::int64_t now, std::vector<Share>& shares) override {
        shares.clear();
        Result r = exec(
            "SELECT id, token_digest, account_id, created_us, expires_us, track FROM shares"
            " WHERE ($1 = 0 OR account_id = $1) AND expires_us > $2 ORDER BY created_us DESC, id DESC",
            {std::to_string(accountId), std::to_string(now)});
        if (r.status() != PGRES_TUPLES_OK) return fail(r);
        for (int row = 0; row < r.rows(); ++row) shares.push_back(shareOf(r, row));
        return true;
    }

    bool findShare(std::string_view tokenDigest, Share& share, bool& found) override {
        Result r = exec(
            "SELECT id, token_digest, account_id, created_us, expires_us, track FROM shares"
            " WHERE token_digest = $1",
            {std::string(tokenDigest)});
        found = false;
        if (r.status() != PGRES_TUPLES_OK) return fail(r);
        if (r.rows() == 1) {
            share = shareOf(r, 0);
            found = true;
        }
        return true;
    }

    bool deleteShare(std::int64_t id, bool& deleted) override {
        Result r = exec("DELETE FROM shares WHERE id = $1", {std::to_string(id)});
        if (r.status() != PGRES_COMMAND_OK) return fail(r);
        deleted = std::string_view(PQcmdTuples(r.handle)) != "0";
        return true;
    }

    bool insertPositions(std::span<const Position> positions) override {
        if (positions.empty()) return true;
        for (int attempt = 0;; ++attempt) {
            if (!prepareDaysOf(positions)) return false;
            // One statement is one transaction (insertSql_): committed when
            // it returns, and its notification goes to every server listening then.
            // A copy of a position stored already (its time sent, its account,
            // time and position the same) meets the unique index and is left out.
            Result r = exec(
                insertSql_.c_str(),
                {arrayOf(positions, [](const Position& p) { return static_cast<long long>(p.accountId); }),
                 arrayOf(positions, [](const Position& p) { return static_cast<long long>(p.timeUs); }),
                 arrayOf(positions, [](const Position& p) { return static_cast<long long>(p.receivedUs); }),
                 arrayOf(positions, [](const Position& p) { return p.lat; }),
                 arrayOf(positions, [](const Position& p) { return p.lon; }),
                 arrayOf(positions, [](const Position& p) { return p.speedKnots; }),
                 arrayOf(positions, [](const Position& p) -> const std::string& { return p.client; }),
                 arrayOf(positions, [](const Position& p) { return p.timeSent; }), positionsChannel,
                 arrayOf(positions, [](const Position& p) { return p.extras.courseDegrees; }),
                 arrayOf(positions, [](const Position& p) { return p.extras.altitudeMetres; }),
                 arrayOf(positions, [](const Position& p) { return p.extras.accuracyMetres; }),
                 arrayOf(positions, [](const Position& p) { return p.extras.batteryPercent; }),
                 arrayOf(positions, [](const Position& p) { return p.extras.hdop; }),
                 arrayOf(positions, [](const Position& p) {
                     return p.extras.satellites.has_value() ? std::optional<long long>(*p.extras.satellites)
                                                            : std::nullopt;
                 })});
            if (r.status() == PGRES_TUPLES_OK) return true;
            // A day dropped by the retention of another server since it was
            // made here: made again, once.
            const char* state = PQresultErrorField(r.handle, PG_DIAG_SQLSTATE);
            const bool noDay = state != nullptr && std::string_view(state) == "23514";  // no partition
            fail(r);
            if (!noDay || attempt > 0) return false;
            days_.clear();
        }
    }

    // Slice by slice of days, each statement bounded by time so that
    // PostgreSQL opens only the tables of its slice, until limit are read.
    bool readPositions(const PositionRange& range, std::size_t limit,
                       std::vector<StoredPosition>& batch) override {
        batch.clear();
        // The row comparison and the bound on time let the index start at
        // the range: a range deep in the history costs what one at its start costs.
        const std::string afterTime = std::to_string(range.afterTimeUs);
        const std::string afterId = std::to_string(range.afterId);
        const std::string account = std::to_string(range.accountId);
        std::int64_t fromUs = std::max(range.fromUs, range.afterTimeUs);
        while (batch.size() < limit && fromUs < range.toUs) {
            std::int64_t sliceFromUs = 0, sliceToUs = 0;
            if (!nextSlice(fromUs, range.toUs, sliceFromUs, sliceToUs)) return false;
            if (sliceFromUs == sliceToUs) break;
            const std::string from = std::to_string(sliceFromUs), to = std::to_string(sliceToUs);
            const std::string count = std::to_string(limit - batch.size());
            Result r =
                range.accountId != 0
                    ? exec(readAccountRangeSql_.c_str(), {account, from, to, afterTime, afterId, count})
                    : exec(readRangeSql_.c_str(), {from, to, afterTime, afterId, count});
            if (!readStoredPositions(r, batch)) return false;
            fromUs = sliceToUs;
        }
        return true;
    }

    bool lastPositions(std::vector<StoredPosition>& positions) override {
        positions.clear();
        const std::string sql =
            "SELECT " + std::string(positionColumns) + " FROM last_positions ORDER BY account_id";
        Result r = exec(sql.c_str(), {});
        return readStoredPositions(r, positions);
    }

    long long deletePositionsBefore(std::int64_t cutoffUs, std::size_t limit) override {
        long long deleted = 0;
        std::int64_t fromUs = std::numeric_limits<std::int64_t>::min();
        while (static_cast<std::size_t>(deleted) < limit && fromUs < cutoffUs) {
            std::int64_t sliceFromUs = 0, sliceToUs = 0;
            if (!nextSlice(fromUs, cutoffUs, sliceFromUs, sliceToUs)) return -1;
            if (sliceFromUs == sliceToUs) break;
            const std::string from = std::to_string(sliceFromUs), to = std::to_string(sliceToUs);
            Result r = exec(
                "DELETE FROM positions WHERE time_us >= $1 AND time_us < $2 AND id IN (SELECT id FROM "
                "positions"
                " WHERE time_us >= $1 AND time_us < $2 ORDER BY time_us LIMIT $3)",
                {from, to, std::to_string(limit - static_cast<std::size_t>(deleted))});
            if (r.status() != PGRES_COMMAND_OK) return fail(r) ? 0 : -1;
            deleted += std::strtoll(PQcmdTuples(r.handle), nullptr, 10);
            fromUs = sliceToUs;
        }
        // The last batch: the accounts whose newest position has gone have none.
        if (static_cast<std::size_t>(deleted) < limit && !forgetLastPositionsBefore(cutoffUs)) return -1;
        return deleted;
    }

    bool countPositions(long long& count) override {
        count = 0;
        std::int64_t fromUs = std::numeric_limits<std::int64_t>::min();
        constexpr std::int64_t endUs = std::numeric_limits<std::int64_t>::max();
        while (fromUs < endUs) {
            std::int64_t sliceFromUs = 0, sliceToUs = 0;
            if (!nextSlice(fromUs, endUs, sliceFromUs, sliceToUs)) return false;
            if (sliceFromUs == sliceToUs) break;
            Result r = exec("SELECT count(*) FROM positions WHERE time_us >= $1 AND time_us < $2",
                            {std::to_string(sliceFromUs), std::to_string(sliceToUs)});
            if (r.status() != PGRES_TUPLES_OK) return fail(r);
            count += r.integer(0, 0);
            fromUs = sliceToUs;
        }
        return true;
    }

    bool keepsDays() const override { return true; }

    bool prepareDays(std::int64_t fromUs, std::int64_t toUs) override {
        for (std::int64_t day = dayOf(fromUs); day <= dayOf(toUs); ++day) {
            if (!prepareDay(day)) return false;
        }
        return true;
    }

    long long dropDaysBefore(std::int64_t cutoffUs) override {
        Result r = exec(
            "SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid"
            " WHERE i.inhparent = 'positions'::regclass AND c.relname ~ '^positions_[0-9]{8}$'"
            " AND to_date(substr(c.relname, 11), 'YYYYMMDD') - date '1970-01-01' < $1 ORDER BY 1",
            {std::to_string(dayOf(cutoffUs))});
        if (r.status() != PGRES_TUPLES_OK) return fail(r) ? 0 : -1;
        days_.clear();
        long long dropped = 0;
        for (int row = 0; row < r.rows(); ++row) {
            // The name is "positions_" and eight digits: nothing to quote.
            const std::string drop = "DROP TABLE IF EXISTS " + std::string(r.text(row, 0));
            if (!run(drop.c_str())) return -1;
            dropped++;
        }
        return forgetLastPositionsBefore(dayOf(cutoffUs) * dayUs) ? dropped : -1;
    }

    bool answers() override {
        Result r = exec("SELECT 1", {});
        return r.status() == PGRES_TUPLES_OK || fail(r);
    }

    std::string lastError() const override { return lastError_; }

  private:
    PGconn* db_ = nullptr;
    std::string lastError_;
    std::set<std::int64_t> days_;  // days whose table this connection knows to exist
    const std::string readAccountRangeSql_ = "SELECT " + std::string(positionColumns) +
                                             " FROM positions WHERE account_id = $1 AND time_us >= $2"
                                             " AND time_us < $3 AND (time_us, id) > ($4, $5)"
                                             " ORDER BY time_us, id LIMIT $6";
    const std::string readRangeSql_ = "SELECT " + std::string(positionColumns) +
                                      " FROM positions WHERE time_us >= $1 AND time_us < $2"
                                      " AND (time_us, id) > ($3, $4) ORDER BY time_us, id LIMIT $5";
    // Stores a group of positions and keeps each account's newest as its
    // last position. A copy of a position stored already (its time sent,
    // its account and time the same) meets the unique index and is left out.
    const std::string insertSql_ =
        "WITH stored AS (INSERT INTO positions"
        " (account_id, time_us, received_us, lat, lon, speed_knots, client, time_sent,"
        " course, altitude, accuracy, battery, hdop, satellites)"
        " SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::bigint[], $4::float8[], $5::float8[],"
        " $6::float8[], $7::text[], $8::boolean[], $10::float8[], $11::float8[], $12::float8[],"
        " $13::float8[], $14::float8[], $15::int[]) ON CONFLICT DO NOTHING RETURNING " +
        std::string(positionColumns) + "), kept AS (INSERT INTO last_positions (" + positionColumns +
        ") SELECT DISTINCT ON (account_id) " + positionColumns +
        " FROM stored ORDER BY account_id, time_us DESC, id DESC" + newerReplacesLastPosition() +
        ") SELECT pg_notify($9, count(*)::text) FROM stored";

    // The next slice of [fromUs, toUs) to read: from the first day at or
    // after fromUs that has a table through at most sliceDaysMax such days,
    // cut to the range; an empty slice (sliceFromUs == sliceToUs) when no
    // day of the range has a table. The names of the days' tables sort as
    // their days, so PostgreSQL finds them through its index of names and
    // this costs the same however many days are kept.
    bool nextSlice(std::int64_t fromUs, std::int64_t toUs, std::int64_t& sliceFromUs,
                   std::int64_t& sliceToUs) {
        sliceFromUs = sliceToUs = fromUs;
        const std::int64_t firstDay = std::max(dayOf(fromUs), firstNamedDay);
        const std::int64_t lastDay = std::min(dayOf(toUs - 1), lastNamedDay);
        if (firstDay > lastDay) return true;
        Result r = exec(
            "SELECT c.relname FROM pg_class c JOIN pg_inherits i ON i.inhrelid = c.oid"
            " WHERE i.inhparent = 'positions'::regclass AND c.relname >= $1 AND c.relname <= $2"
            " AND c.relname ~ '^positions_[0-9]{8}$' ORDER BY c.relname LIMIT $3",
            {dayTableName(firstDay), dayTableName(lastDay), std::to_string(sliceDaysMax)});
        if (r.status() != PGRES_TUPLES_OK) return fail(r);
        if (r.rows() == 0) return true;
        sliceFromUs = std::max(fromUs, dayOfTableName(r.text(0, 0)) * dayUs);
        sliceToUs = std::min(toUs, (dayOfTableName(r.text(r.rows() - 1, 0)) + 1) * dayUs);
        return true;
    }

    // Deletes the last position of each account whose newest position was
    // taken before cutoffUs (its positions are gone).
    bool forgetLastPositionsBefore(std::int64_t cutoffUs) {
        Result r = exec("DELETE FROM last_positions WHERE time_us < $1", {std::to_string(cutoffUs)});
        return r.status() == PGRES_COMMAND_OK || fail(r);
    }

    // Fills last_positions from the positions of a database made before it,
    // a slice of days per transaction, so that no transaction locks every
    // day's table; resumes where it stopped after an interruption. Runs
    // under the migration lock, before this server stores anything.
    bool fillLastPositions() {
        Result pending = exec("SELECT from_us FROM last_positions_unfilled", {});
        if (pending.status() != PGRES_TUPLES_OK) return fail(pending);
        if (pending.rows() == 0) return run("DROP TABLE last_positions_unfilled");
        std::int64_t fromUs = pending.integer(0, 0);
        constexpr std::int64_t endUs = std::numeric_limits<std::int64_t>::max();
        const std::string fill = "INSERT INTO last_positions (" + std::string(positionColumns) +
                                 ") SELECT DISTINCT ON (account_id) " + positionColumns +
                                 " FROM positions WHERE time_us >= $1 AND time_us < $2"
                                 " ORDER BY account_id, time_us DESC, id DESC" +
                                 newerReplacesLastPosition();
        while (true) {
            std::int64_t sliceFromUs = 0, sliceToUs = 0;
            if (!nextSlice(fromUs, endUs, sliceFromUs, sliceToUs)) return false;
            if (sliceFromUs == sliceToUs) break;
            const std::string from = std::to_string(sliceFromUs), to = std::to_string(sliceToUs);
            if (!run("BEGIN")) return false;
            Result filled = exec(fill.c_str(), {from, to});
            Result moved = exec("UPDATE last_positions_unfilled SET from_us = $1", {to});
            if (filled.status() != PGRES_COMMAND_OK || moved.status() != PGRES_COMMAND_OK || !run("COMMIT")) {
                fail(filled.status() != PGRES_COMMAND_OK ? filled : moved);
                run("ROLLBACK");
                return false;
            }
            fromUs = sliceToUs;
        }
        return run("DROP TABLE last_positions_unfilled");
    }

    bool prepareDay(std::int64_t day) {
        if (days_.contains(day)) return true;
        Result r = exec("SELECT wayloom_position_day($1)", {std::to_string(day)});
        if (r.status() != PGRES_TUPLES_OK) return fail(r);
        days_.insert(day);
        return true;
    }

    bool prepareDaysOf(std::span<const Position> positions) {
        for (const Position& p : positions) {
            if (!prepareDay(dayOf(p.timeUs))) return false;
        }
        return true;
    }

    Result exec(const char* sql, std::initializer_list<std::string> parameters) {
        std::array<const char*, 16> values{};
        int count = 0;
        for (const std::string& p : parameters) values[static_cast<std::size_t>(count++)] = p.c_str();
        return Result(PQexecParams(db_, sql, count, nullptr, values.data(), nullptr, nullptr, 0));
    }

    bool run(const char* sql) {
        Result r(PQexec(db_, sql));
        return r.status() == PGRES_COMMAND_OK || r.status() == PGRES_TUPLES_OK || fail(r);
    }

    // Keeps the message of a failed result; always false.
    bool fail(const Result& r) {
        lastError_ = r.handle != nullptr ? PQresultErrorMessage(r.handle) : PQerrorMessage(db_);
        if (lastError_.empty()) lastError_ = PQerrorMessage(db_);
        while (!lastError_.empty() && lastError_.back() == '\n') lastError_.pop_back();
        return false;
    }

    static Share shareOf(const Result& r, int row) {
        Share share;
        share.id = r.integer(row, 0);
        share.tokenDigest = r.text(row, 1);
        share.accountId = r.integer(row, 2);
        share.createdUs = r.integer(row, 3);
        share.expiresUs = r.integer(row, 4);
        share.track = r.text(row, 5) == "t";
        return share;
    }

    bool readStoredPositions(const Result& r, std::vector<StoredPosition>& out) {
        if (r.status() != PGRES_TUPLES_OK) return fail(r);
        for (int row = 0; row < r.rows(); ++row) {
            StoredPosition stored;
            stored.id = r.integer(row, 0);
            stored.position.accountId = r.integer(row, 1);
            stored.position.timeUs = r.integer(row, 2);
            stored.position.receivedUs = r.integer(row, 3);
            stored.position.lat = r.real(row, 4);
            stored.position.lon = r.real(row, 5);
            stored.position.speedKnots = r.real(row, 6);
            stored.position.client = r.text(row, 7);
            stored.position.timeSent = r.text(row, 8) == "t";
            PositionExtras& extras = stored.position.extras;
            int column = 9;
            for (std::optional<double>* value :
                 {&extras.courseDegrees, &extras.altitudeMetres, &extras.accuracyMetres,
                  &extras.batteryPercent, &extras.hdop}) {
                if (!PQgetisnull(r.handle, row, column)) *value = r.real(row, column);
                ++column;
            }
            if (!PQgetisnull(r.handle, row, column))
                extras.satellites = static_cast<int>(r.integer(row, column));
            out.push_back(std::move(stored));
        }
        return true;
    }

    bool bumpGenerationAndCommit() {
        if (run("UPDATE generations SET value = value + 1 WHERE name = 'accounts'") && run("COMMIT"))
            return true;
        run("ROLLBACK");
        return false;
    }

    AccountChange changeAccount(const char* sql, std::string_view login, std::string_view value) {
        if (!run("BEGIN")) return AccountChange::failed;
        Result r = exec(sql, {std::string(login), std::string(value)});
        if (r.status() != PGRES_COMMAND_OK) {
            fail(r);
            run("ROLLBACK");
            return AccountChange::failed;
        }
        if (std::string_view(PQcmdTuples(r.handle)) == "0") {
            run("ROLLBACK");
            return AccountChange::noSuchAccount;
        }
        return bumpGenerationAndCommit() ? AccountChange::done : AccountChange::failed;
    }

    bool migrate() {
        const std::string lock = "SELECT pg_advisory_lock(" + std::to_string(migrationLockKey) + ")";
        const std::string unlock = "SELECT pg_advisory_unlock(" + std::to_string(migrationLockKey) + ")";
        if (!run(lock.c_str())) return false;
        // Moving the positions of a large database over takes as long as it takes.
        const bool migrated = run("SET statement_timeout = 0") && migrateLocked();
        run(unlock.c_str());
        run("SET statement_timeout = '10s'");
        return migrated;
    }

    bool migrateLocked() {
        if (!run("CREATE TABLE IF NOT EXISTS wayloom_schema (version INTEGER NOT NULL)")) return false;
        Result r = exec("SELECT max(version) FROM wayloom_schema", {});
        if (r.status() != PGRES_TUPLES_OK) return fail(r);
        const auto version = static_cast<std::size_t>(r.integer(0, 0));  // NULL reads as 0
        constexpr std::size_t latest = std::size(migrations);
        if (version > latest) {
            lastError_ =
                "the database was made by a newer wayloom-server (schema " + std::to_string(version) + ")";
            return false;
        }
        for (std::size_t next = version; next < latest; ++next) {
            const std::string record = "INSERT INTO wayloom_schema VALUES (" + std::to_string(next + 1) + ")";
            if (!run("BEGIN") || !run(migrations[next]) || !run("DELETE FROM wayloom_schema") ||
                !run(record.c_str()) || !run("COMMIT")) {
                run("ROLLBACK");
                return false;
            }
        }
        Result unfilled = exec("SELECT to_regclass('last_positions_unfilled') IS NOT NULL", {});
        if (unfilled.status() != PGRES_TUPLES_OK) return fail(unfilled);
        return unfilled.text(0, 0) != "t" || fillLastPositions();
    }
};

}  // namespace

std::unique_ptr<Storage> openPostgresStorage(std::string_view connection, std::string& error) {
    auto storage = std::make_unique<PostgresStorage>();
    if (!storage->open(connection, error)) return nullptr;
    return storage;
}
