// The report endpoint: reading a report's form body, and committing reports
// in groups.
//
// A report is "v=1.1&l=LOGIN&p=PASSWORD&lat=LAT&lon=LON&s=SPEED" posted to
// /wayloom/Receiver.php, optionally followed by the course, altitude, HDOP
// and satellites in use ("&c=COURSE&a=ALTITUDE&h=HDOP&n=SATELLITES", any of
// them) and by "&t=YYYY-MM-DDTHH:MM:SSZ", the time the position was taken (a
// client that kept it while its link was down sends it later); the answer's
// body is one character. Reports that
// arrive together are stored in one transaction, and each is answered "1"
// only once that transaction is committed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "server/storage.hpp"

constexpr std::string_view reportPath = "/wayloom/Receiver.php";
constexpr std::string_view reportVersion = "1.1";
// The longest report Wayloom sends is 279 bytes (login and password of 35
// bytes each sent as %XX, numbers of 15 characters); a proxy may add a field.
constexpr std::size_t reportBodyMaxBytes = 1024;
// The fastest a report may say it moves: far above any vehicle Wayloom
// rides in; beyond it, or below 0, the speed is not a measurement.
constexpr double reportSpeedMaxKnots = 1000;
constexpr std::size_t commitGroupMaxReports = 4096;  // reports in one transaction at most
// A report's t may run ahead of the server's clock by this much (a server
// clock that is slow, a device clock that is fast: a report refused for it
// would be lost, since "6" is final), and may not be older than
// 2000-01-01T00:00:00Z. A t a second or more ahead is logged and counted.
constexpr std::int64_t reportTimeAheadMaxUs = 24LL * 3600 * 1000000;
constexpr std::int64_t reportTimeAheadNoticeUs = 1000000;
constexpr std::int64_t reportTimeEarliestUs = 946684800LL * 1000000;

// The values the extras of a position may take, whoever sends them.
constexpr double courseMaxDegrees = 360;  // 0 to 360 inclusive: some receivers send 360 for north
// From below the shore of the Dead Sea (-430 m), with room for a receiver's
// error, to above the highest balloon flight (53 km).
constexpr double altitudeMinMetres = -1000;
constexpr double altitudeMaxMetres = 60000;
constexpr double accuracyMaxMetres = 1000000;  // a phone's cell-tower guess is a few km
constexpr double hdopMax = 99.9;               // the widest value NMEA's HDOP field holds
constexpr int satellitesMax = 99;              // two digits, as NMEA's GGA counts them
// The answers, as the one character of the body.
namespace answer {
constexpr char stored = '1';
constexpr char unknownLogin = '2';
constexpr char wrongVersion = '3';
constexpr char disabled = '4';
constexpr char wrongPassword = '5';
constexpr char notAReport = '6';
constexpr char notStored = '0';
// Not sent: a phone's message that holds no position to store (OsmAnd's
// valid=false, an OwnTracks transition), answered as delivered once its
// account is right.
constexpr char nothingToStore = 'n';
}  // namespace answer

struct ReportForm {
    std::string login;     // decoded
    std::string password;  // decoded
    double lat = 0;
    double lon = 0;
    double speedKnots = 0;
    PositionExtras extras;        // c, a, h, n
    bool timeSent = false;        // the body carried t
    std::int64_t timeUs = 0;      // t, when timeSent; else the time of arrival
    std::int64_t receivedUs = 0;  // the time of arrival
    std::int64_t aheadUs = 0;     // how far a t that could be read lies ahead of arrival; else 0
};

// Reads a report body that arrived at arrivalUs into form: answer::stored
// when it is a report (nothing is stored here); answer::wrongVersion when v
// is there once and is not "1.1", whatever else the body holds;
// answer::notAReport when a field is missing or repeated, a number is not a
// finite decimal, a coordinate, the speed or an extra is out of range (n not
// a whole number of satellites), t is not a time
// as above or lies more than reportTimeAheadMaxUs after arrivalUs or before
// 2000, or the body is longer than reportBodyMaxBytes.
char readReportForm(std::string_view body, ReportForm& form, std::int64_t arrivalUs);

// True when every extra that is there lies in its range above.
bool extrasInRange(const PositionExtras& extras);

// A report's t, "YYYY-MM-DDTHH:MM:SSZ" exactly (decoded), as microseconds
// since 1970; false for any other text or a date that does not exist.
bool readReportTime(std::string_view text, std::int64_t& unixMicros);

// A number as a report carries it: an optional sign, digits with an optional
// fraction, an optional exponent; false for anything else or a value that is
// not finite.
bool readReportNumber(std::string_view text, double& value);

// ---- Group commit --------------------------------------------------------------

// Told the answers (ticket, character) of a group once it is committed or
// refused; called on the committer's thread.
using ReportAnswerSink = std::function<void(std::span<const std::pair<std::uint64_t, char>> answers)>;

// Wakes readers that follow new positions after each commit.
struct PositionFeed {
    std::mutex mutex;
    std::condition_variable committed;
    std::uint64_t commits = 0;  // groups committed so far

    // Waits until commits exceeds seen or timeout passes; the commits now.
    std::uint64_t waitForCommit(std::uint64_t seen, std::chrono::milliseconds timeout);
};

struct PendingReport {
    std::uint64_t ticket = 0;         // the caller's name for the report, handed back with its answer
    std::vector<Position> positions;  // one, or a phone's batch: committed in the same transaction
};

struct Committer {
    std::string database;
    ReportAnswerSink sink;
    PositionFeed* feed = nullptr;

    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<PendingReport> queue;
    bool stopping = false;
    std::thread thread;
    std::uint64_t groups = 0;  // transactions committed, for the log at exit
    std::uint64_t reports = 0;
};

// Starts the committer's thread with its own connection to committer.database
// (opened again after a failure); sink and feed must be set.
bool startCommitter(Committer& committer, std::string& error);
// Queues a report for the committer's next group; its answer comes through
// the sink once the group is committed (or has failed). Any thread.
void submitReport(Committer& committer, PendingReport report);
// Commits what is queued, then ends the thread.
void stopCommitter(Committer& committer);
