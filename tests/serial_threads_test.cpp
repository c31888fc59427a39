// The serial port and the sentence reader on real pseudo-terminals: the test
// writes to the master side as a receiver would, the reader opens the slave.
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gps/nmea.hpp"
#include "gps/reader.hpp"
#include "platform/diagnostics.hpp"
#include "platform/output.hpp"
#include "platform/serial.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// A receiver at the master side of a pseudo-terminal whose slave is the port.
struct FakeReceiver {
    int master = -1;
    std::string path;  // the slave device
};

FakeReceiver plugReceiver() {
    FakeReceiver receiver;
    int slave = -1;
    std::array<char, 128> name{};
    if (openpty(&receiver.master, &slave, name.data(), nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return receiver;
    }
    // As with a real device, nothing holds the port until the reader opens it.
    close(slave);
    receiver.path = name.data();
    return receiver;
}

void unplugReceiver(FakeReceiver& receiver) {
    if (receiver.master >= 0) close(receiver.master);
    receiver.master = -1;
}

void send(const FakeReceiver& receiver, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = write(receiver.master, bytes.data(), bytes.size());
        ASSERT_GT(written, 0) << std::strerror(errno);
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Polls until done() holds or ten seconds pass; false on time-out. The limit
// only keeps a broken reader from hanging the suite.
template <typename Condition>
bool eventually(Condition done) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

double fixSpeed() {
    double speed = -1;
    takePositionFix(nullptr, nullptr, &speed, nullptr);
    return speed;
}

std::wstring statusLogText() {
    std::array<wchar_t, controlTextCapacity> text{};
    getWindowText(statusLogControl, text);
    return text.data();
}

GpsState snapshotGpsState() {
    std::lock_guard lock(gpsStateLock);
    return gpsState;
}

void clearGpsState() {
    std::lock_guard lock(gpsStateLock);
    std::memset(&gpsState, 0, sizeof gpsState);
}

double cpuSecondsOfProcess() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](timeval t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class Reader : public ::testing::Test {
  protected:
    void SetUp() override {
        stopGpsInput();
        resetWindowModel();
        // As after "Start": the run state is 0 and "Start" disabled.
        runState.store(1);
        toggleRunState();
        clearGpsState();
    }
    void TearDown() override {
        stopGpsInput();
        unplugReceiver(receiver);
    }
    FakeReceiver receiver;
};

// ---- port names and the port itself ----

TEST(PortNames, MapToDevicePaths) {
    struct Case {
        const wchar_t* name;
        const char* path;  // null when the name is refused
    };
    const Case cases[] = {
        {L"COM1:", "/dev/ttyS0"},
        {L"com2:", "/dev/ttyS1"},
        {L"COM10:", "/dev/ttyS9"},
        {L"COM0:", "/dev/COM0:"},  // not a COM port name: a device of that name
        {L"COM1", "/dev/COM1"},
        {L"COMX:", "/dev/COMX:"},
        {L"ttyUSB0", "/dev/ttyUSB0"},
        {L"pts/3", "/dev/pts/3"},
        {L"/dev/serial0", "/dev/serial0"},
        {L"/tmp/gps", "/tmp/gps"},
        {L"./gps", "./gps"},
        {L"/tmp/g\u00e9ps", "/tmp/g\xc3\xa9ps"},
        {L"", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path == nullptr ? "(refused)" : c.path));
        std::array<char, portPathCapacity> path{};
        bool mapped = serialDevicePath(c.name, path);
        ASSERT_EQ(mapped, c.path != nullptr);
        if (mapped) {
            EXPECT_STREQ(path.data(), c.path);
        }
    }
    std::array<char, portPathCapacity> path{};
    EXPECT_FALSE(serialDevicePath(std::wstring(portPathCapacity, L'a').c_str(), path));
    EXPECT_TRUE(serialDevicePath(std::wstring(portPathCapacity - 6, L'a').c_str(), path));  // "/dev/" + 250
    EXPECT_FALSE(serialDevicePath(std::wstring(portPathCapacity - 5, L'a').c_str(), path));
    const wchar_t surrogate[] = {L'/', static_cast<wchar_t>(0xD800), L'\0'};
    EXPECT_FALSE(serialDevicePath(surrogate, path));
}

TEST(SerialPort, OpensExclusively) {
    FakeReceiver receiver = plugReceiver();
    std::wstring name = wide(receiver.path);
    PortHandle first = openSerialPort(name.c_str());
    ASSERT_NE(first, invalidPortHandle);
    EXPECT_EQ(openSerialPort(name.c_str()), invalidPortHandle) << "a second opener of ours";
    closeSerialPort(first);

    // Another program that holds a lock on the device keeps us out.
    int other = open(receiver.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(openSerialPort(name.c_str()), invalidPortHandle) << "a port locked by another program";
    close(other);

    PortHandle again = openSerialPort(name.c_str());
    EXPECT_NE(again, invalidPortHandle) << "closing must free the port";
    closeSerialPort(again);
    unplugReceiver(receiver);
}

// Runs open in a child process as an ordinary user (nobody, when the tests
// run as root); the child keeps the port open until it is killed when hold
// is set. Returns the child, or -1 when the port did not open.
pid_t openAsUser(const std::wstring& name, bool hold) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
        const char opened = openSerialPort(name.c_str()) != invalidPortHandle ? 'y' : 'n';
        if (write(ready[1], &opened, 1) != 1 || opened == 'n' || !hold) _exit(0);
        pause();
    }
    char opened = 'n';
    if (child < 0 || read(ready[0], &opened, 1) != 1) opened = 'n';
    close(ready[0]);
    close(ready[1]);
    if (!hold || opened == 'n') waitpid(child, nullptr, 0);
    return opened == 'y' ? child : -1;
}

// A copy killed while the receiver side keeps the device open must not lock
// the next start of an ordinary user out.
TEST(SerialPort, KilledHolderLeavesThePortFree) {
    FakeReceiver receiver = plugReceiver();
    ASSERT_EQ(chmod(receiver.path.c_str(), 0666), 0);  // the user's port, as through the dialout group
    const std::wstring name = wide(receiver.path);
    const pid_t holder = openAsUser(name, true);
    ASSERT_GT(holder, 0) << "the first copy could not open the port";
    EXPECT_EQ(openAsUser(name, false), -1) << "a second copy beside a running one";
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    ASSERT_EQ(waitpid(holder, nullptr, 0), holder);
    EXPECT_GT(openAsUser(name, false), 0) << "the port stayed locked after its holder was killed";
    unplugReceiver(receiver);
}

TEST(SerialPort, SetsRawLineAndBaudRates) {
    FakeReceiver receiver = plugReceiver();
    PortHandle port = openSerialPort(wide(receiver.path).c_str());
    ASSERT_NE(port, invalidPortHandle);
    constexpr std::int32_t accepted[] = {50,     1200,   4800,    9600,  38400, 57600,
                                         115200, 921600, 4000000, 31250, 12345, 250000};
    for (std::int32_t rate : accepted) {
        SCOPED_TRACE(rate);
        PortState state{};
        ASSERT_TRUE(getSerialPortState(port, state));
        state.baudRate = rate;
        EXPECT_TRUE(setSerialPortState(port, state));
        PortState readBack{};
        ASSERT_TRUE(getSerialPortState(port, readBack));
        EXPECT_EQ(readBack.baudRate, rate);
    }
    constexpr std::int32_t refused[] = {0, -1, -4800, INT32_MIN};
    for (std::int32_t rate : refused) {
        SCOPED_TRACE(rate);
        EXPECT_FALSE(setSerialPortState(port, PortState{rate}));
    }

    // Raw 8N1 without flow control or echo: nothing is ever sent back to the
    // receiver, and bytes arrive as they are, without waiting for line ends.
    termios line{};
    ASSERT_EQ(tcgetattr(port, &line), 0);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(line.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);

    closeSerialPort(port);
    PortState state{};
    EXPECT_FALSE(getSerialPortState(invalidPortHandle, state));
    unplugReceiver(receiver);
}

TEST(SerialPort, ReadsBurstsNotBytes) {
    FakeReceiver receiver = plugReceiver();
    PortHandle port = openSerialPort(wide(receiver.path).c_str());
    ASSERT_NE(port, invalidPortHandle);
    ASSERT_TRUE(setSerialPortState(port, PortState{4800}));
    std::array<char, 512> buffer{};
    EXPECT_EQ(readSerialPort(port, buffer, 50).status, PortReadStatus::idle);

    // 300 bytes in 30 pieces a few milliseconds apart, as a receiver sends.
    std::thread trickle([&receiver] {
        for (int piece = 0; piece < 30; ++piece) {
            send(receiver, "0123456789");
            std::this_thread::sleep_for(3ms);
        }
    });
    std::size_t total = 0;
    int reads = 0;
    while (total < 300) {
        PortReadResult result = readSerialPort(port, buffer, 2000);
        ASSERT_EQ(result.status, PortReadStatus::data);
        total += result.count;
        ++reads;
    }
    trickle.join();
    EXPECT_EQ(total, 300u);
    EXPECT_LE(reads, 4) << "a burst must come in one or two reads, not piece by piece";

    unplugReceiver(receiver);  // hang-up
    EXPECT_EQ(readSerialPort(port, buffer, 2000).status, PortReadStatus::failed);
    closeSerialPort(port);
}

// ---- the reader ----

// The bytes the receiver writes, piece by piece with a pause between pieces
// (so each piece is a read of its own), and the sentences that must be
// dispatched from them, in order.
struct StreamCase {
    const char* name;
    std::vector<std::string> pieces;
    std::vector<std::string> dispatched;
};

TEST_F(Reader, DispatchesSentencesInStreamOrder) {
    const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*";
    const std::string rmc = "$GPRMC,123520,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*";
    const StreamCase cases[] = {
        {"two sentences in one write", {gga + "47\r\n" + rmc + "6A\r\n"}, {gga, rmc}},
        {"one type twice in one write, the later wins",
         {"$GPRMC,1,A,1,N,1,E,005.0,1,1,1,W*00\r\n$GPRMC,2,A,2,N,2,E,006.0,2,2,2,W*00\r\n"},
         {"$GPRMC,1,A,1,N,1,E,005.0,1,1,1,W*", "$GPRMC,2,A,2,N,2,E,006.0,2,2,2,W*"}},
        {"a sentence split across writes",
         {"$GPRMC,123521,A,4807.038,N,011", "31.000,E,033.3,084.4,230394,003.1,W*6A\r\n"},
         {"$GPRMC,123521,A,4807.038,N,01131.000,E,033.3,084.4,230394,003.1,W*"}},
        {"a sentence over three writes, the middle one without $ or *",
         {"$GPGGA,1", "23519,4807.038,N,01131.000,E,1,0", "8,0.9,545.4,M,46.9,M,,*47\r\n" + rmc + "6A\r\n"},
         {gga, rmc}},
        {"zero bytes before a burst, between sentences and inside one",
         {"\0\0"s + gga +
          "47\r\n\0$GPRMC,9,A,9,N,9,E,0\0"
          "99.9,9,9,9,W*00\r\n"s +
          rmc + "6A\r\n"},
         {gga, rmc}},
        {"the first write begins inside a sentence",
         {"0.9,545.4,M,46.9,M,,*47\r\n$GPRMC,4,A,4,N,4,E,044.4,4,4,4,W*00\r\n"},
         {"0.9,545.4,M,46.9,M,,*", "$GPRMC,4,A,4,N,4,E,044.4,4,4,4,W*"}},
    };
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        clearGpsState();
        for (const std::string& sentence : c.dispatched) dispatchSentence(sentence);
        const GpsState expected = snapshotGpsState();
        const double lastSpeed = fixSpeed();  // every case ends with an RMC sentence of its own speed
        clearGpsState();

        receiver = plugReceiver();
        ASSERT_TRUE(startGpsInput(wide(receiver.path).c_str(), 4800));
        for (const std::string& piece : c.pieces) {
            send(receiver, piece);
            std::this_thread::sleep_for(250ms);  // longer than the line's burst gap
        }
        EXPECT_TRUE(eventually([&] { return fixSpeed() == lastSpeed; })) << "the last sentence never arrived";
        stopGpsInput();
        const GpsState decoded = snapshotGpsState();
        EXPECT_EQ(std::memcmp(&decoded, &expected, sizeof decoded), 0)
            << "the reader dispatched other sentences than these, or in another order";
        EXPECT_EQ(statusLogText(), L"");
        unplugReceiver(receiver);
    }
}

TEST_F(Reader, PortThatCannotOpenShowsMessageAndStartsNoReader) {
    std::filesystem::path plainFile = std::filesystem::temp_directory_path() / "wayloom-serial-test-plain";
    std::FILE* file = std::fopen(plainFile.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    const std::wstring names[] = {L"/nonexistent/gps0", L"COM99:",    L"ttyWayloomMissing",
                                  wide(plainFile),      L"/dev/null", L""};
    for (const std::wstring& name : names) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        SetUp();
        EXPECT_FALSE(startGpsInput(name.c_str(), 4800));
        EXPECT_EQ(statusLogText(), L"Can't open GPS-port!");
        EXPECT_EQ(runState.load(), 0) << "the reader leaves Start to the report cycle";
        EXPECT_FALSE(commandEnabled(startCommand));
        EXPECT_EQ(gpsReader.active.load(), 0) << "no reader for a port that did not open";
        EXPECT_EQ(gpsReader.port.load(), invalidPortHandle);
    }
    std::filesystem::remove(plainFile);
}

TEST_F(Reader, BusyPortShowsCantOpen) {
    receiver = plugReceiver();
    std::wstring name = wide(receiver.path);
    ASSERT_TRUE(startGpsInput(name.c_str(), 4800));
    EXPECT_EQ(openGpsPort(name.c_str(), 4800), invalidPortHandle);
    EXPECT_EQ(statusLogText(), L"Can't open GPS-port!");
    EXPECT_EQ(runState.load(), 0) << "the reader leaves Start to the report cycle";
    stopGpsInput();

    SetUp();
    int other = open(receiver.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(startGpsInput(name.c_str(), 4800)) << "a port another program holds";
    EXPECT_EQ(statusLogText(), L"Can't open GPS-port!");
    EXPECT_EQ(gpsReader.active.load(), 0);
    close(other);
}

// Run as a service, each failed opening also says on standard error which
// device failed and why.
TEST_F(Reader, FailedOpeningNamesTheDeviceAndTheReason) {
    int errors[2];
    ASSERT_EQ(pipe2(errors, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_TRUE(enableDiagnostics(errors[1]));
    receiver = plugReceiver();
    const int other = open(receiver.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    FakeReceiver second = plugReceiver();
    struct Case {
        std::wstring port;
        std::int32_t rate;
        std::string line;
    };
    const Case cases[] = {
        {L"/nonexistent/gps0", 4800, "cannot open GPS port /nonexistent/gps0: No such file or directory"},
        {L"null", 4800, "cannot open GPS port /dev/null: Inappropriate ioctl for device"},
        {wide(receiver.path), 4800, "cannot open GPS port " + receiver.path + ": in use by another program"},
        {wide(second.path), 0, "cannot configure GPS port " + second.path + ": baud rate 0 is not valid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        SetUp();
        EXPECT_FALSE(startGpsInput(c.port.c_str(), c.rate));
        EXPECT_TRUE(drainOutput(5000));
        std::array<char, diagnosticCapacity> line{};
        EXPECT_GT(read(errors[0], line.data(), line.size() - 1), 0);
        EXPECT_EQ(std::string(line.data()), "wayloom: " + c.line + "\n");
    }
    close(other);
    unplugReceiver(second);
}

TEST_F(Reader, RefusedBaudRateShowsCantConfigure) {
    receiver = plugReceiver();
    std::wstring name = wide(receiver.path);
    for (std::int32_t rate : {0, -1, INT32_MIN}) {
        SCOPED_TRACE(rate);
        SetUp();
        EXPECT_FALSE(startGpsInput(name.c_str(), rate));
        EXPECT_EQ(statusLogText(), L"Can't configure GPS-port!");
        EXPECT_EQ(runState.load(), 0) << "the reader leaves Start to the report cycle";
        EXPECT_FALSE(commandEnabled(startCommand));
        EXPECT_EQ(gpsReader.active.load(), 0);
        EXPECT_EQ(gpsReader.port.load(), invalidPortHandle);
        PortHandle port = openSerialPort(name.c_str());
        EXPECT_NE(port, invalidPortHandle) << "the refused port was left open";
        closeSerialPort(port);
    }
}

TEST_F(Reader, ReaderStopEndsTheReader) {
    receiver = plugReceiver();
    std::wstring name = wide(receiver.path);
    ASSERT_TRUE(startGpsInput(name.c_str(), 4800));
    EXPECT_EQ(gpsReader.active.load(), 1);
    EXPECT_NE(gpsReader.port.load(), invalidPortHandle);
    std::this_thread::sleep_for(300ms);  // the reader is waiting for data now
    gpsReader.stop.store(1);
    EXPECT_TRUE(eventually([] { return gpsReader.active.load() == 0; }));
    EXPECT_EQ(gpsReader.port.load(), invalidPortHandle);
    PortHandle port = openSerialPort(name.c_str());
    EXPECT_NE(port, invalidPortHandle) << "an ended reader must close its port";
    closeSerialPort(port);
}

TEST_F(Reader, LaterStartLeavesOneReader) {
    receiver = plugReceiver();
    std::wstring name = wide(receiver.path);
    ASSERT_TRUE(startGpsInput(name.c_str(), 4800));
    ASSERT_TRUE(startGpsInput(name.c_str(), 4800)) << "the same port again";
    EXPECT_EQ(gpsReader.active.load(), 1);

    FakeReceiver second = plugReceiver();
    ASSERT_TRUE(startGpsInput(wide(second.path).c_str(), 9600)) << "another port";
    EXPECT_EQ(gpsReader.active.load(), 1);
    PortHandle first = openSerialPort(name.c_str());
    EXPECT_NE(first, invalidPortHandle) << "the first port must have been closed";
    closeSerialPort(first);

    send(second, "$GPRMC,5,A,5,N,5,E,055.5,5,5,5,W*00\r\n");
    EXPECT_TRUE(eventually([] { return fixSpeed() == 55.5; }));
    EXPECT_EQ(statusLogText(), L"");
    stopGpsInput();
    unplugReceiver(second);
}

TEST_F(Reader, UnpluggedReceiverResumesWithoutSpinning) {
    std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("wayloom-serial-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    std::filesystem::path link = directory / "gps";
    receiver = plugReceiver();
    std::filesystem::create_symlink(receiver.path, link);
    ASSERT_TRUE(startGpsInput(wide(link).c_str(), 4800));
    send(receiver, "$GPRMC,1,A,1,N,1,E,001.0,1,1,1,W*00\r\n$GPRMC,1235");
    ASSERT_TRUE(eventually([] { return fixSpeed() == 1.0; }));

    // Pulled out: the device goes away and every read would fail at once.
    unplugReceiver(receiver);
    std::filesystem::remove(link);
    ASSERT_TRUE(eventually([] { return gpsReader.port.load() == invalidPortHandle; }));
    double cpuBefore = cpuSecondsOfProcess();
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpuUsed = cpuSecondsOfProcess() - cpuBefore;
    // A sanity bound, far above a sleeping reader and far below a spinning one.
    EXPECT_LT(cpuUsed, elapsed * 0.1) << "the reader spins while the receiver is away";
    EXPECT_EQ(gpsReader.active.load(), 1);

    // Plugged in again under the same name. Its first bytes complete the
    // sentence cut by the unplugging; that part was dropped, so they stand alone.
    receiver = plugReceiver();
    std::filesystem::create_symlink(receiver.path, link);
    // What a receiver sends before the port is open again is not the reader's
    // to see; wait for the reopening, which comes a few seconds later.
    ASSERT_TRUE(eventually([] { return gpsReader.port.load() != invalidPortHandle; }))
        << "the port was not reopened";
    send(receiver, "19,A,9,N,9,E,099.9,9,9,9,W*00\r\n$GPRMC,2,A,2,N,2,E,002.0,2,2,2,W*00\r\n");
    EXPECT_TRUE(eventually([] { return fixSpeed() == 2.0; })) << "decoding did not resume";
    EXPECT_NE(gpsReader.port.load(), invalidPortHandle);
    stopGpsInput();
    GpsState decoded = snapshotGpsState();
    EXPECT_STREQ(decoded.other.text.data(), "19,A,9,N,9,E,099.9,9,9,9,W*");
    EXPECT_EQ(statusLogText(), L"") << "the reader reports nothing";
    std::filesystem::remove_all(directory);
}

}  // namespace
