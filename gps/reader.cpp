// The GPS port and the sentence reader: opening and configuring the port with
// its two failure messages, the reader thread that reads chunks and feeds them
// to the framing, and the reopening of a port that failed.
//
// Exactly one reader reads the port: a start ends the reader before it and a
// reader runs only on a port that opened. The reader allocates nothing: its
// chunk and the framer live in its own frame.
#include "gps/reader.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>
#include <thread>

#include "app/statuslog.hpp"
#include "gps/checksum.hpp"
#include "gps/nmea.hpp"

GpsReader gpsReader{{invalidPortHandle}, {0}, {0}, {}, 0};

namespace {

using std::chrono::milliseconds;

// How long one read waits for data before gpsReader.stop is looked at again.
constexpr int readWaitMilliseconds = 500;

// Waits before each attempt to open a failed port again: about a second,
// growing to a few, so an unplugged receiver costs nothing while it is away
// and is found again soon after it comes back.
constexpr std::array<milliseconds, 3> reopenDelays = {milliseconds(1000), milliseconds(2000),
                                                      milliseconds(4000)};
constexpr milliseconds stopCheckInterval{500};  // gpsReader.stop is looked at this often while waiting

// Opens and configures the port; 0, or the message of the step that failed.
// port is the opened handle, or invalid, in either case.
std::uint16_t configurePort(const wchar_t* portName, std::int32_t baudRate, PortHandle& port) {
    port = openSerialPort(portName);
    PortState state{};
    // An open that failed leaves an invalid handle, whose state cannot be read.
    if (!getSerialPortState(port, state)) return messageCantOpenGpsPort;
    state.baudRate = baudRate;
    if (!setSerialPortState(port, state)) return messageCantConfigureGpsPort;
    return 0;
}

void rememberPort(const wchar_t* portName, std::int32_t baudRate) {
    std::size_t length = 0;
    for (; length + 1 < gpsReader.portName.size() && portName[length] != L'\0'; ++length) {
        gpsReader.portName[length] = portName[length];
    }
    gpsReader.portName[length] = L'\0';
    gpsReader.baudRate = baudRate;
}

// Opens the remembered port again, silently: the reader shows nothing.
PortHandle reopenPort() {
    PortHandle port = invalidPortHandle;
    if (configurePort(gpsReader.portName.data(), gpsReader.baudRate, port) == 0) return port;
    closeSerialPort(port);
    return invalidPortHandle;
}

// Sleeps before the next opening; false when gpsReader.stop ends the wait.
bool waitBeforeReopening(std::size_t failedOpenings) {
    milliseconds delay = reopenDelays[std::min(failedOpenings, reopenDelays.size() - 1)];
    for (milliseconds waited{0}; waited < delay; waited += stopCheckInterval) {
        if (gpsReader.stop.load() != 0) return false;
        std::this_thread::sleep_for(stopCheckInterval);
    }
    return gpsReader.stop.load() == 0;
}

void dispatchFramed(std::string_view sentence, void*) {
    dispatchSentence(sentence);
}

void runReaderThread() {
    runSentenceReader();
    gpsReader.active.fetch_sub(1);
}

}  // namespace

PortHandle openGpsPort(const wchar_t* portName, std::int32_t baudRate) {
    PortHandle port = invalidPortHandle;
    std::uint16_t failure = configurePort(portName, baudRate, port);
    if (failure == 0) return port;
    showMessage(failure);
    reportSerialPortFailure(portName);
    toggleRunState();  // the run state is 0 while a cycle starts: "Start" becomes available again
    closeSerialPort(port);
    return invalidPortHandle;
}

bool startGpsInput(const wchar_t* portName, std::int32_t baudRate) {
    // An earlier reader holds its port exclusively and would read beside the
    // new one: it ends, and closes its port, first.
    stopGpsInput();
    PortHandle port = openGpsPort(portName, baudRate);
    gpsReader.port.store(port);
    gpsReader.stop.store(0);
    if (port == invalidPortHandle) return false;
    rememberPort(portName, baudRate);
    gpsReader.active.fetch_add(1);
    std::thread(runReaderThread).detach();
    return true;
}

void stopGpsInput() {
    gpsReader.stop.store(1);
    while (gpsReader.active.load() != 0) std::this_thread::sleep_for(milliseconds(10));
}

std::size_t readGpsChunk(std::span<char, chunkCapacity> chunk) {
    PortHandle port = gpsReader.port.load();
    if (port == invalidPortHandle) return 0;
    PortReadResult result = readSerialPort(port, chunk, readWaitMilliseconds);
    if (result.status == PortReadStatus::failed) {
        // Every further read would fail at once and spin: the reader opens
        // the port again instead.
        gpsReader.port.store(invalidPortHandle);
        closeSerialPort(port);
    }
    return result.count;
}

int runSentenceReader() {
    SentenceFramer framer;
    resetFramer(framer);
    CheckedFramer checkedFramer;
    resetCheckedFramer(checkedFramer);
    std::array<char, chunkCapacity> readBuffer;
    std::size_t failedOpenings = 0;
    while (gpsReader.stop.load() == 0) {
        if (gpsReader.port.load() == invalidPortHandle) {
            resetFramer(framer);  // an unfinished sentence from the lost line is dropped
            resetCheckedFramer(checkedFramer);
            if (!waitBeforeReopening(failedOpenings)) break;
            PortHandle port = reopenPort();
            failedOpenings = port == invalidPortHandle ? failedOpenings + 1 : 0;
            gpsReader.port.store(port);
            continue;
        }
        const std::size_t count = readGpsChunk(readBuffer);
        const std::span<const char> bytes = std::span<const char>(readBuffer).first(count);
        if (decodingOptions.checksumsRequired) {
            frameCheckedChunk(checkedFramer, bytes, dispatchFramed, nullptr);
            continue;
        }
        // Exactly the bytes read: a zero byte among them is data, not an end.
        frameChunk(framer, bytes, dispatchFramed, nullptr);
    }
    closeSerialPort(gpsReader.port.exchange(invalidPortHandle));
    return 0;
}
