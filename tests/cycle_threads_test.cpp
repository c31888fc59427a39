// The report cycle with its real pieces: the reader thread on a pseudo-
// terminal fed with NMEA by a child process, the exchange over a private
// network to wayloom-receiver, and the status log watched change by change.
// The clock is shortened (a 500 ms start-up wait, 10 ms interval seconds) and
// each test ends the endless loop after a few passes. Every test runs in a
// child process of its own, so each starts with an empty GPS state.

#include "report/cycle.hpp"

#include <pty.h>
#include <termios.h>

#include <array>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "gps/nmea.hpp"
#include "gps/reader.hpp"
#include "platform/net.hpp"
#include "private_network.hpp"
#include "settings/settings.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

// A data race in the child must fail the test, whatever TSAN_OPTIONS says.
#if defined(__SANITIZE_THREAD__)
#define WAYLOOM_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WAYLOOM_UNDER_TSAN 1
#endif
#endif
#ifdef WAYLOOM_UNDER_TSAN
extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1:exitcode=66";
}
#endif

namespace {

using namespace std::chrono_literals;
using privatenet::millisecondsSince;
using privatenet::runInPrivateNetwork;

constexpr CycleTiming shortTiming{500, 10, 3};  // 30-second intervals last 300 ms
constexpr std::size_t snapshotCapacity = 24;

constexpr std::wstring_view trying = L"Trying to get data from GPS...";
constexpr std::wstring_view noSatellites = L"Can't find satellites!";

struct CycleRecord {
    int snapshotCount;  // changes of the status log, in order
    std::array<std::array<wchar_t, controlTextCapacity>, snapshotCapacity> snapshots;
    int runStateAfter;
    bool startEnabledAfter;
    PositionFix fixAfter;  // what the reader had decoded when the cycle ended
    long long elapsedMs;
    std::array<char, 8192> receiverLog;
};

void recordSnapshot(const WindowChange& change, void* context) {
    auto* record = static_cast<CycleRecord*>(context);
    if (change.id != statusLogControl || record->snapshotCount >= static_cast<int>(snapshotCapacity)) return;
    auto& snapshot = record->snapshots[static_cast<std::size_t>(record->snapshotCount++)];
    const std::size_t length = std::min(change.text.size(), snapshot.size() - 1);
    std::copy_n(change.text.begin(), length, snapshot.begin());
    snapshot[length] = L'\0';
}

// NMEA text with its checksum and line end.
std::string sentence(std::string_view body) {
    unsigned char sum = 0;
    for (const char c : body) sum = static_cast<unsigned char>(sum ^ static_cast<unsigned char>(c));
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + std::string(body) + tail;
}

struct Feed {
    std::string text;  // written to the receiver's side of the terminal
    int writes;        // how often, 100 ms apart; then it falls silent
};

// A pseudo-terminal standing in for the GPS receiver: the port name for the
// settings, and a child writing the feed into it. The test keeps its own
// end of the port open, so silence is silence and not a hang-up.
struct FakeReceiver {
    int master = -1;
    int port = -1;
    pid_t feeder = -1;
};

bool startFakeReceiver(FakeReceiver& receiver, const Feed& feed) {
    std::array<char, 64> name{};
    if (openpty(&receiver.master, &receiver.port, name.data(), nullptr, nullptr) != 0) return false;
    termios raw{};
    tcgetattr(receiver.port, &raw);
    cfmakeraw(&raw);
    tcsetattr(receiver.port, TCSANOW, &raw);
    std::size_t length = std::strlen(name.data());
    if (length + 1 > settings.portName.size()) return false;
    for (std::size_t i = 0; i <= length; ++i) settings.portName[i] = static_cast<wchar_t>(name[i]);
    receiver.feeder = privatenet::forkHelper();
    if (receiver.feeder == 0) {
        for (int i = 0; i < feed.writes; ++i) {
            privatenet::writeAll(receiver.master, feed.text.data(), feed.text.size());
            usleep(100000);
        }
        pause();
        _exit(0);
    }
    return receiver.feeder > 0;
}

void stopFakeReceiver(FakeReceiver& receiver) {
    kill(receiver.feeder, SIGKILL);
    waitpid(receiver.feeder, nullptr, 0);
}

// "Start": the run state goes to 0 and the log is emptied, then the cycle
// runs on this thread until its pass limit; the reader is ended afterwards.
void runCycle(CycleRecord& out, const CycleTiming& timing) {
    netTimeouts = NetTimeouts{400ms, 50ms, 1000ms, 2000ms, 2000ms};
    cycleTiming = timing;
    toggleRunState();
    clearStatusLog();
    setWindowChangeListener(recordSnapshot, &out);
    const auto start = std::chrono::steady_clock::now();
    runReportCycle();
    out.elapsedMs = millisecondsSince(start);
    setWindowChangeListener(nullptr, nullptr);
    stopGpsInput();
    out.runStateAfter = runState.load();
    out.startEnabledAfter = commandEnabled(startCommand);
    takePositionFix(&out.fixAfter.latitude, &out.fixAfter.longitude, &out.fixAfter.speed,
                    &out.fixAfter.valid);
}

void prepareCycle() {
    resetSettings();
    resetWindowModel();
    runState = 1;
}

std::vector<std::wstring> snapshotsOf(const CycleRecord& record) {
    std::vector<std::wstring> texts;
    for (int i = 0; i < record.snapshotCount; ++i)
        texts.emplace_back(record.snapshots[static_cast<std::size_t>(i)].data());
    return texts;
}

// Each pass shows its lines after the log was cleared, and clears it at its end.
std::vector<std::wstring> expectedSnapshots(std::initializer_list<std::wstring_view> passLines, int passes) {
    std::vector<std::wstring> texts{std::wstring(trying)};
    std::wstring log(trying);
    for (int pass = 0; pass < passes; ++pass) {
        for (const std::wstring_view line : passLines) {
            log += (log.empty() ? L"" : L"\r\n") + std::wstring(line);
            texts.push_back(log);
        }
        log.clear();
        texts.push_back(log);
    }
    return texts;
}

struct UnusableFixCase {
    const char* name;
    std::string_view gga;
    std::string_view rmc;
    PositionFix decoded;  // proves the sentences arrived and were decoded
};

// Good coordinates but a receiver warning; a latitude or longitude of exactly
// zero with a valid status. None of them is reported.
const UnusableFixCase unusableFixCases[] = {
    {"RMC status V",
     "GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
     "GPRMC,123519,V,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W",
     {48.1173, 11.516667, 22.4, 0}},
    {"latitude 0.0",
     "GPGGA,123519,0000.000,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
     "GPRMC,123519,A,0000.000,N,01131.000,E,022.4,084.4,230394,003.1,W",
     {0.0, 11.516667, 22.4, 1}},
    {"longitude 0.0",
     "GPGGA,123519,4807.038,N,00000.000,E,1,08,0.9,545.4,M,46.9,M,,",
     "GPRMC,123519,A,4807.038,N,00000.000,E,022.4,084.4,230394,003.1,W",
     {48.1173, 0.0, 22.4, 1}},
};

TEST(ReportCycle, NoGpsDataShowsNoSatellitesEveryPass) {
    static CycleRecord record;
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](CycleRecord& out) {
        prepareCycle();
        FakeReceiver gps;
        if (!startFakeReceiver(gps, {"", 0})) return;
        runCycle(out, shortTiming);
        stopFakeReceiver(gps);
    }));
    EXPECT_EQ(snapshotsOf(record), expectedSnapshots({noSatellites}, 3));
    EXPECT_EQ(record.runStateAfter, 0) << "a cycle that opened its port made Start available";
    EXPECT_FALSE(record.startEnabledAfter);
    EXPECT_EQ(record.fixAfter.valid, 0);
    EXPECT_GE(record.elapsedMs, 500 + 3 * 300) << "a wait of the cycle was cut short";
}

TEST(ReportCycle, UnusableFixIsNotReported) {
    for (const UnusableFixCase& c : unusableFixCases) {
        SCOPED_TRACE(c.name);
        static CycleRecord record;
        record = CycleRecord{};
        ASSERT_TRUE(runInPrivateNetwork(true, record, [&](CycleRecord& out) {
            prepareCycle();
            FakeReceiver gps;
            if (!startFakeReceiver(gps, {sentence(c.gga) + sentence(c.rmc), 50})) return;
            runCycle(out, shortTiming);
            stopFakeReceiver(gps);
        }));
        // Nothing listens in this network: an exchange would show "Can't open host!".
        EXPECT_EQ(snapshotsOf(record), expectedSnapshots({noSatellites}, 3));
        EXPECT_NEAR(record.fixAfter.latitude, c.decoded.latitude, 1e-6);
        EXPECT_NEAR(record.fixAfter.longitude, c.decoded.longitude, 1e-6);
        EXPECT_NEAR(record.fixAfter.speed, c.decoded.speed, 1e-4);
        EXPECT_EQ(record.fixAfter.valid, c.decoded.valid);
    }
}

TEST(ReportCycle, PortThatCannotBeOpenedEndsTheCycle) {
    static CycleRecord record;
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](CycleRecord& out) {
        prepareCycle();
        std::wcscpy(settings.portName.data(), L"/dev/wayloom-none");
        runCycle(out, CycleTiming{5000, 10, 3});
    }));
    EXPECT_EQ(snapshotsOf(record),
              (std::vector<std::wstring>{std::wstring(trying),
                                         std::wstring(trying) + L"\r\nCan't open GPS-port!"}));
    EXPECT_EQ(record.runStateAfter, 1);
    EXPECT_TRUE(record.startEnabledAfter);
    EXPECT_LT(record.elapsedMs, 5000) << "the cycle went on to its start-up wait";
}

// Three fixes in the first 200 ms, then silence: every pass still reports the
// last position, since the GPS state keeps its values.
TEST(ReportCycle, SilentReceiverKeepsReportingTheLastPosition) {
    static CycleRecord record;
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](CycleRecord& out) {
        prepareCycle();
        std::strcpy(settings.login.data(), "walker");
        privatenet::Receiver server;
        if (!privatenet::startReceiver(server, "127.0.0.1", "1")) return;
        FakeReceiver gps;
        const std::string fix = sentence("GPGGA,101500,5530.000,N,03715.000,E,1,07,1.1,150.0,M,14.0,M,,") +
                                sentence("GPRMC,101500,A,5530.000,N,03715.000,E,001.5,090.0,010524,,");
        if (!startFakeReceiver(gps, {fix, 3})) return;
        runCycle(out, shortTiming);
        stopFakeReceiver(gps);
        privatenet::readReceiverLog(server, out.receiverLog.data(), out.receiverLog.size());
        privatenet::stopReceiver(server);
    }));
    EXPECT_EQ(snapshotsOf(record),
              expectedSnapshots({L"37.25 55.5 1.5", L"Connecting...", L"Sent successfully."}, 3));
    std::string_view log(record.receiverLog.data());
    int reports = 0;
    for (std::size_t end = log.find('\n'); end != std::string_view::npos; end = log.find('\n')) {
        SCOPED_TRACE("report " + std::to_string(++reports));
        std::string lat, lon, login;
        EXPECT_TRUE(privatenet::jsonStringField(log.substr(0, end), "lat", lat));
        EXPECT_TRUE(privatenet::jsonStringField(log.substr(0, end), "lon", lon));
        EXPECT_TRUE(privatenet::jsonStringField(log.substr(0, end), "login", login));
        EXPECT_EQ(lat, "55.5");
        EXPECT_EQ(lon, "37.25");
        EXPECT_EQ(login, "walker");
        log.remove_prefix(end + 1);
    }
    EXPECT_EQ(reports, 3);
}

// With stale-after, the same silent receiver gives no report once its last
// GGA and RMC are older than the limit; a fresh GN fix from the south-west is
// reported with its signs when talkers = any is set.
TEST(ReportCycle, StaleFixIsNotReportedAndSignsFollowTheHemispheres) {
    static CycleRecord stale, southWest;
    ASSERT_TRUE(runInPrivateNetwork(true, stale, [](CycleRecord& out) {
        prepareCycle();
        settings.staleAfterSeconds = 1;
        FakeReceiver gps;
        const std::string fix = sentence("GPGGA,101500,5530.000,N,03715.000,E,1,07,1.1,150.0,M,14.0,M,,") +
                                sentence("GPRMC,101500,A,5530.000,N,03715.000,E,001.5,090.0,010524,,");
        if (!startFakeReceiver(gps, {fix, 3})) return;
        runCycle(out, CycleTiming{1500, 10, 2});
        stopFakeReceiver(gps);
    }));
    EXPECT_EQ(snapshotsOf(stale), expectedSnapshots({noSatellites}, 2));
    EXPECT_EQ(stale.fixAfter.valid, 1) << "the fix never arrived";

    ASSERT_TRUE(runInPrivateNetwork(true, southWest, [](CycleRecord& out) {
        prepareCycle();
        settings.anyTalker = true;
        settings.checksumsRequired = true;
        privatenet::Receiver server;
        if (!privatenet::startReceiver(server, "127.0.0.1", "1")) return;
        FakeReceiver gps;
        const std::string fix = sentence("GNGGA,101500,3436.000,S,05823.000,W,1,07,1.1,25.0,M,14.0,M,,") +
                                sentence("GNRMC,101500,A,3436.000,S,05823.000,W,001.5,090.0,010524,,") +
                                "$GNGGA,101501,1111.000,N,02222.000,E,1*00\r\n";  // a wrong checksum
        if (!startFakeReceiver(gps, {fix, 50})) return;
        runCycle(out, CycleTiming{500, 10, 1});
        stopFakeReceiver(gps);
        privatenet::readReceiverLog(server, out.receiverLog.data(), out.receiverLog.size());
        privatenet::stopReceiver(server);
    }));
    EXPECT_EQ(snapshotsOf(southWest),
              expectedSnapshots({L"-58.383333 -34.6 1.5", L"Connecting...", L"Sent successfully."}, 1));
    std::string lat, lon;
    EXPECT_TRUE(privatenet::jsonStringField(southWest.receiverLog.data(), "lat", lat));
    EXPECT_TRUE(privatenet::jsonStringField(southWest.receiverLog.data(), "lon", lon));
    EXPECT_EQ(lat, "-34.6");
    EXPECT_EQ(lon, "-58.383333");
}

}  // namespace
