// The storage of wayloom-server: accounts and the positions they report.
//
// One interface, two realisations: SQLite in WAL mode, the embedded default
// (--database FILE), and PostgreSQL through libpq (--database
// postgresql://...), which several servers can share. Both create and migrate
// their schema when opened.
//
// A Storage is one connection to the database: use it from one thread at a
// time, and open one per thread that needs one (openStorage is cheap for
// SQLite and takes a few milliseconds for PostgreSQL). Times are UTC
// microseconds since 1970.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t loginMaxBytes = 35;     // as many as Wayloom sends
constexpr std::size_t passwordMaxBytes = 35;  // as many as Wayloom sends

struct Account {
    std::int64_t id = 0;
    std::string login;
    std::string passwordHash;  // Argon2id in libsodium's string form: "$argon2id$v=19$..."; "" with a key
    std::string keyDigest;     // a device key's BLAKE2b digest in hex (keyDigestOf); "" without a key
    bool admin = false;
    bool enabled = true;
    std::int64_t version = 0;  // raised by every change of the account
};

// What a client may measure beside the position itself; each is absent
// (NULL in the database, null in the web API) when it was not sent.
struct PositionExtras {
    std::optional<double> courseDegrees;   // 0 to 360, clockwise from true north
    std::optional<double> altitudeMetres;  // above sea level, as the receiver gives it
    std::optional<double> accuracyMetres;  // horizontal, as the phone estimates it
    std::optional<double> batteryPercent;  // 0 to 100
    std::optional<double> hdop;            // horizontal dilution of precision
    std::optional<int> satellites;         // in use for the fix

    bool operator==(const PositionExtras&) const = default;
};

// Positions are ordered by their time, then by id: a position reported late
// (its client kept it while the link was down) takes its place in the track.
struct Position {
    std::int64_t accountId = 0;
    std::int64_t timeUs = 0;      // when it was taken: the report's t, else its arrival
    std::int64_t receivedUs = 0;  // when the server received it
    double lat = 0;               // degrees, -90 to 90
    double lon = 0;               // degrees, -180 to 180
    double speedKnots = 0;
    std::string client;  // the reporting client's address: "192.0.2.7", "2001:db8::7"
    // The report carried its time: another with the same account, time,
    // lat, lon and speed is a copy (a report sent again).
    bool timeSent = false;
    PositionExtras extras{};
};

struct StoredPosition {
    std::int64_t id = 0;  // grows with every position stored
    Position position;
};

// Which positions readPositions returns: by time, then id. To page on, set
// after to the (time, id) of the last position of a batch.
struct PositionRange {
    std::int64_t accountId = 0;                                           // 0: every account
    std::int64_t fromUs = std::numeric_limits<std::int64_t>::min();       // taken at or after
    std::int64_t toUs = std::numeric_limits<std::int64_t>::max();         // taken before
    std::int64_t afterTimeUs = std::numeric_limits<std::int64_t>::min();  // with afterId: only
    std::int64_t afterId = 0;                                             // positions after this one
};

enum class AccountChange { done, noSuchAccount, loginTaken, failed };

// A link that shows one account's position to anyone who has it, until it
// expires or is revoked (its row deleted). Only a digest of its token is stored.
struct Share {
    std::int64_t id = 0;
    std::int64_t accountId = 0;
    std::string tokenDigest;  // hex BLAKE2b of the token (shareTokenDigest)
    std::int64_t createdUs = 0;
    std::int64_t expiresUs = 0;
    bool track = false;  // the page also shows the track since createdUs
};

constexpr std::int64_t dayUs = 86400LL * 1000000;  // positions are kept by UTC day on PostgreSQL
// The PostgreSQL channel that tells every server sharing the database that
// positions were committed: one notification per commit group.
constexpr const char* positionsChannel = "wayloom_positions";

class Storage {
  public:
    virtual ~Storage() = default;

    // ---- Accounts
    // Adds an account (id and version are set by the storage).
    virtual AccountChange addAccount(const Account& account) = 0;
    // A password replaces the account's key, and a key its password: an
    // account has one of them.
    virtual AccountChange setPassword(std::string_view login, std::string_view passwordHash) = 0;
    virtual AccountChange setKey(std::string_view login, std::string_view keyDigest) = 0;
    virtual AccountChange setEnabled(std::string_view login, bool enabled) = 0;
    // Every account ordered by login; false when the database cannot be read.
    virtual bool listAccounts(std::vector<Account>& accounts) = 0;
    // A number that changes whenever any account changes (in any process).
    virtual bool accountsGeneration(std::int64_t& generation) = 0;
    // Deletes an account with its positions and share links in one
    // transaction; positions is set to the number of positions deleted.
    virtual AccountChange deleteAccount(std::string_view login, long long& positions) = 0;
    // The number of positions an account has stored.
    virtual bool countAccountPositions(std::int64_t accountId, long long& count) = 0;

    // ---- Share links
    // Stores a share link (its id is set by the storage) and deletes those
    // that expired before its creation.
    virtual bool addShare(Share& share) = 0;
    // The links of an account (0: every account) that expire after nowUs,
    // newest first.
    virtual bool listShares(std::int64_t accountId, std::int64_t nowUs, std::vector<Share>& shares) = 0;
    // The link with this token digest, expired or not, with found telling
    // whether there is one; false when the database cannot be read.
    virtual bool findShare(std::string_view tokenDigest, Share& share, bool& found) = 0;
    // Deletes the link of id, with deleted telling whether it existed;
    // false when the database failed.
    virtual bool deleteShare(std::int64_t id, bool& deleted) = 0;

    // ---- Positions
    // Stores every position in one transaction; true only once it is
    // committed. A position whose time was sent and whose account, time,
    // lat, lon and speed are stored already (a report sent again) is left
    // out, as a copy.
    virtual bool insertPositions(std::span<const Position> positions) = 0;
    // Up to limit positions of range in order of time, then id, replacing
    // batch; the caller pages on by setting range.afterTimeUs and afterId to
    // those of the last of a batch. An empty batch is the end. False when the
    // database cannot be read.
    virtual bool readPositions(const PositionRange& range, std::size_t limit,
                               std::vector<StoredPosition>& batch) = 0;
    // The newest position (by time, then id) of each account that has one,
    // in order of account id.
    virtual bool lastPositions(std::vector<StoredPosition>& positions) = 0;
    // Deletes at most limit positions taken before cutoffUs; the number
    // deleted, or -1 on failure.
    virtual long long deletePositionsBefore(std::int64_t cutoffUs, std::size_t limit) = 0;
    virtual bool countPositions(long long& count) = 0;

    // ---- Days: PostgreSQL keeps the positions of each UTC day in a table
    // of their own (a partition), dropped whole when the day is no longer kept.
    // True when positions are kept by day (PostgreSQL).
    virtual bool keepsDays() const = 0;
    // Makes the tables of the days from fromUs to toUs ahead of need (a
    // position of a day without one gets it when stored); true on SQLite.
    virtual bool prepareDays(std::int64_t fromUs, std::int64_t toUs) = 0;
    // Drops the tables of the days that end at or before cutoffUs; the number
    // of days dropped, or -1 on failure. 0 on SQLite, which deletes positions instead.
    virtual long long dropDaysBefore(std::int64_t cutoffUs) = 0;

    // ---- Health
    // True when the database answers a query now (for /healthz); false with
    // lastError set when it does not.
    virtual bool answers() = 0;

    // What the database said last time something failed.
    virtual std::string lastError() const = 0;
};

// The storage that database names: "postgresql://..." or "postgres://..." (or
// a libpq "key=value" string starting with "postgresql:") for PostgreSQL,
// else the path of a SQLite file, created when missing. nullptr with error
// set when it cannot be opened or its schema cannot be brought up to date.
std::unique_ptr<Storage> openStorage(std::string_view database, std::string& error);

// True when database names a PostgreSQL server rather than a SQLite file.
bool isPostgresDatabase(std::string_view database);

// The current time as stored: UTC microseconds since 1970.
std::int64_t nowUs();
