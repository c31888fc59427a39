// Network NMEA sources: the source URL, gpsd's JSON lines, and the reader on
// real sources in a private network: wayloom-gpssim serving TCP, and a real
// gpsd run by gpsfake replaying receiver logs.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gps/nmea.hpp"
#include "gps/reader.hpp"
#include "gps/source.hpp"
#include "private_network.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

namespace {

using namespace std::chrono_literals;

TEST(SourceUrl, ReadsSchemeHostAndPort) {
    struct Case {
        const char* text;
        bool understood;
        SourceKind kind;
        const char* host;
        std::uint16_t port;
    };
    const std::string longest = "gpsd://" + std::string(hostNameCapacity - 1, 'h');
    const std::string tooLong = "gpsd://" + std::string(hostNameCapacity, 'h');
    const Case cases[] = {
        {"gpsd://localhost", true, SourceKind::gpsd, "localhost", 2947},
        {"gpsd://192.168.1.20:3000", true, SourceKind::gpsd, "192.168.1.20", 3000},
        {"GPSD://Pi.local:2948", true, SourceKind::gpsd, "Pi.local", 2948},
        {"tcp://10.0.0.1:10110", true, SourceKind::tcp, "10.0.0.1", 10110},
        {"tcp://[::1]:10110", true, SourceKind::tcp, "::1", 10110},
        {"gpsd://[fe80::1%eth0]", true, SourceKind::gpsd, "fe80::1%eth0", 2947},
        {"tcp://h:65535", true, SourceKind::tcp, "h", 65535},
        {longest.c_str(), true, SourceKind::gpsd, longest.c_str() + 7, 2947},
        {tooLong.c_str(), false, {}, "", 0},
        {"tcp://10.0.0.1", false, {}, "", 0},  // a plain stream has no usual port
        {"tcp://h:0", false, {}, "", 0},
        {"tcp://h:65536", false, {}, "", 0},
        {"tcp://h:1x", false, {}, "", 0},
        {"gpsd://", false, {}, "", 0},
        {"gpsd://:2947", false, {}, "", 0},
        {"gpsd://host/dev/ttyUSB0", false, {}, "", 0},
        {"gpsd://user@host", false, {}, "", 0},
        {"gpsd://a b", false, {}, "", 0},
        {"gpsd://::1", false, {}, "", 0},  // an IPv6 address needs its brackets
        {"tcp://[::1", false, {}, "", 0},
        {"tcp://[::1]10110", false, {}, "", 0},
        {"udp://h:10110", false, {}, "", 0},
        {"/dev/ttyUSB0", false, {}, "", 0},
        {" gpsd://h", false, {}, "", 0},
        {"", false, {}, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        NetworkSource source{};
        ASSERT_EQ(parseSourceUrl(c.text, source), c.understood);
        if (!c.understood) continue;
        EXPECT_EQ(source.kind, c.kind);
        EXPECT_STREQ(source.host.data(), c.host);
        EXPECT_EQ(source.port, c.port);
    }
}

TEST(GpsdLines, JsonLinesAreDroppedAcrossChunks) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::string kept;  // all chunks' kept bytes, in order
    };
    const Case cases[] = {
        {"gpsd's greeting, then sentences",
         {"{\"class\":\"VERSION\",\"release\":\"3.22\"}\r\n{\"class\":\"WATCH\",\"enable\":true}\r\n$GPGGA,1*"
          "00\n"},
         "$GPGGA,1*00\n"},
        {"a JSON line cut between chunks, a sentence cut behind it",
         {"$GPRMC,1*00\n{\"class\":\"DEV", "ICE\",\"path\":\"/dev/$x*\"}\r\n$GPR", "MC,2*00\n"},
         "$GPRMC,1*00\n$GPRMC,2*00\n"},
        {"a brace inside a line is data", {"$GPTXT,{x}*00\n{\"a\":1}\n"}, "$GPTXT,{x}*00\n"},
        {"a chunk that ends just before a JSON line",
         {"$GPVTG*00\n", "{\"class\":\"ERROR\"}\n$GPVTG*01\n"},
         "$GPVTG*00\n$GPVTG*01\n"},
        {"nothing but JSON", {"{\"class\":\"TOFF\"}\n", "{\"class\":\"PPS\""}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GpsdLineFilter filter{};
        resetGpsdLineFilter(filter);
        std::string kept;
        for (const std::string& piece : c.chunks) {
            std::array<char, chunkCapacity> chunk{};
            std::memcpy(chunk.data(), piece.data(), piece.size());
            const std::size_t count = dropGpsdJsonLines(filter, chunk, piece.size());
            kept.append(chunk.data(), count);
            for (std::size_t i = count; i < chunk.size(); ++i) ASSERT_EQ(chunk[i], '\0') << "at " << i;
        }
        EXPECT_EQ(kept, c.kept);
    }
}

// ---- the reader on real sources ------------------------------------------------

// What the child in the private network saw: the first check that failed.
struct Outcome {
    char failure[256];
};

void check(Outcome& outcome, bool condition, const char* what) {
    if (!condition && outcome.failure[0] == '\0')
        std::snprintf(outcome.failure, sizeof outcome.failure, "%s", what);
}

template <typename Condition>
bool eventually(Condition done, std::chrono::seconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Runs a program as a helper with its output dropped. In its own process
// group, so that a program that starts others (gpsfake starts gpsd) ends
// with all of them.
pid_t spawn(std::initializer_list<const char*> arguments) {
    std::vector<char*> argv;
    for (const char* argument : arguments) argv.push_back(const_cast<char*>(argument));
    argv.push_back(nullptr);
    const pid_t pid = privatenet::forkHelper();
    if (pid == 0) {
        setpgid(0, 0);
        if (std::freopen("/dev/null", "w", stdout) == nullptr ||
            std::freopen("/dev/null", "w", stderr) == nullptr)
            _exit(127);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void stopGroup(pid_t pid) {
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// Until a TCP connection to port on host is taken.
bool listening(std::uint16_t port, const char* host = "127.0.0.1") {
    return eventually([port, host] {
        StreamHandle probe = openStream(host, port, 1s);
        closeStream(probe);
        return probe != invalidStreamHandle;
    });
}

PositionFix currentFix() {
    return takeReportPosition().fix;
}

bool usableFix() {
    const PositionFix fix = currentFix();
    return fix.valid == 1 && fix.latitude != 0.0 && fix.longitude != 0.0;
}

void clearGpsState() {
    std::lock_guard lock(gpsStateLock);
    // cppcheck-suppress memsetClassFloat ; all bits zero is 0.0 in IEEE 754
    std::memset(&gpsState, 0, sizeof gpsState);
}

std::wstring statusLogText() {
    std::array<wchar_t, controlTextCapacity> text{};
    getWindowText(statusLogControl, text);
    return text.data();
}

// As after "Start": the run state 0, the log empty, no reader.
void prepareStart() {
    stopGpsInput();
    resetWindowModel();
    runState.store(1);
    toggleRunState();
    clearGpsState();
}

// A source that cannot be understood or reached: the port's message, no
// reader, and "Start" left to the report cycle.
void checkRefused(Outcome& outcome, const char* source) {
    prepareStart();
    check(outcome, !startGpsInput(L"COM1:", 4800, source), source);
    check(outcome, statusLogText() == L"Can't open GPS-port!", "no \"Can't open GPS-port!\"");
    check(outcome, runState.load() == 0 && gpsReader.active.load() == 0,
          "the reader changed Start, or a reader runs");
}

TEST(NetworkSource, TcpStreamLostAndConnectedAgain) {
    Outcome outcome{};
    ASSERT_TRUE(privatenet::runInPrivateNetwork(true, outcome, [](Outcome& out) {
        checkRefused(out, "tcp://127.0.0.1:10110");  // nothing listens yet
        checkRefused(out, "tcp://127.0.0.1");
        checkRefused(out, "serial://ttyUSB0");

        const std::string simulator = std::string(WAYLOOM_BINARY_DIR) + "/wayloom-gpssim";
        const pid_t sim = spawn({simulator.c_str(), "--tcp", "10110", "--lat", "-33.8688", "--lon",
                                 "-70.6693", "--speed", "12.5", "--unplug-after", "4", "--unplug-for", "2"});
        check(out, listening(10110), "the simulator does not listen");
        prepareStart();
        // A name: its IPv6 address refuses, its IPv4 address answers.
        check(out, startGpsInput(L"COM1:", 4800, "tcp://localhost:10110"), "the stream did not open");
        check(out, eventually([] { return currentFix().speed == 12.5; }), "no fix from the stream");
        const PositionFix first = currentFix();
        check(out, first.valid == 1 && first.latitude > 33.8 && first.longitude > 70.6,
              "not the simulated fix");
        check(out, eventually([] { return gpsReader.stream.load() == invalidStreamHandle; }),
              "the loss went unnoticed");
        clearGpsState();
        check(out, eventually([] { return currentFix().speed == 12.5; }), "no fix after connecting again");
        check(out, gpsReader.active.load() == 1, "not one reader");
        check(out, statusLogText().empty(), "the reader showed something");
        stopGpsInput();
        stopGroup(sim);

        const pid_t sim6 =
            spawn({simulator.c_str(), "--tcp", "10111", "--tcp-listen", "::1", "--speed", "6.5"});
        check(out, listening(10111, "::1"), "the simulator does not listen on ::1");
        prepareStart();
        check(out, startGpsInput(L"COM1:", 4800, "tcp://[::1]:10111"), "no stream from an IPv6 address");
        check(out, eventually([] { return currentFix().speed == 6.5; }), "no fix over IPv6");
        stopGpsInput();
        stopGroup(sim6);
    }));
    EXPECT_STREQ(outcome.failure, "");
}

TEST(NetworkSource, GpsdPassesTheReceiversSentences) {
    Outcome outcome{};
    ASSERT_TRUE(privatenet::runInPrivateNetwork(true, outcome, [](Outcome& out) {
        checkRefused(out, "gpsd://127.0.0.1");  // no gpsd yet
        const std::string logs = WAYLOOM_TEST_DATA "/nmea/";
        const std::string southEast = logs + "haicom-305N.log";     // 27.2 S, 153.1 E
        const std::string northWest = logs + "navika-100-fix.log";  // 37.97 N, 122.53 W
        pid_t gpsfake = spawn({"gpsfake", "-q", "-n", "-c", "0.02", "-P", "2947", southEast.c_str()});
        check(out, listening(2947), "gpsd does not listen");
        prepareStart();
        check(out, startGpsInput(L"COM1:", 4800, "gpsd://127.0.0.1"), "gpsd did not answer");
        check(out, eventually(usableFix), "no fix through gpsd");
        const PositionFix first = currentFix();
        check(out, first.latitude > 27.2 && first.latitude < 27.3 && first.longitude > 153.0,
              "not the log's fix");

        // gpsd goes away and comes back with another receiver: the reader
        // connects again and asks for the sentences again.
        stopGroup(gpsfake);
        check(out, eventually([] { return gpsReader.stream.load() == invalidStreamHandle; }),
              "the loss went unnoticed");
        clearGpsState();
        gpsfake = spawn({"gpsfake", "-q", "-n", "-c", "0.02", "-P", "2947", northWest.c_str()});
        check(out, eventually(usableFix, 30s), "no fix after gpsd came back");
        const PositionFix second = currentFix();
        check(out, second.latitude > 37.9 && second.latitude < 38.0 && second.longitude > 122.5,
              "not the second log's fix");
        GpsState state{};
        {
            std::lock_guard lock(gpsStateLock);
            state = gpsState;
        }
        check(out, std::strchr(state.other.text.data(), '{') == nullptr, "a JSON line reached the decoder");
        check(out, statusLogText().empty(), "the reader showed something");
        stopGpsInput();
        stopGroup(gpsfake);
    }));
    EXPECT_STREQ(outcome.failure, "");
}

}  // namespace
