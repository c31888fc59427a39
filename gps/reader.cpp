// The GPS port and the sentence reader: opening and configuring the port with
// its two failure messages, the reader thread that reads chunks and feeds them
// to the framing, and the reopening of a port that failed.
//
// Exactly one reader reads the port: a start ends the reader before it and a
// reader runs only on a port that opened. The reader allocates nothing: its
// chunk and the framer live in its own frame.
//
// A network source takes the port's place: the same reader reads it, the
// same waits come before connecting again after a lost connection.
#include "gps/reader.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>
#include <thread>

#include "gps/checksum.hpp"
#include "gps/nmea.hpp"
#include "platform/diagnostics.hpp"
#include "status/statuslog.hpp"

GpsReader gpsReader{{invalidPortHandle}, {0}, {0}, {}, 0, {invalidStreamHandle}, false, {}, {}};

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

// A source that does not answer at once is given this long to connect; a
// reader that connects again keeps a stop waiting at most as long.
constexpr milliseconds sourceConnectTimeout{5000};
// gpsd reads its commands at once; this only bounds a peer that reads nothing.
constexpr milliseconds sourceCommandTimeout{2000};

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

// Connects to the source and, for a gpsd, asks for the sentences;
// invalidStreamHandle when either fails.
StreamHandle connectSource(const NetworkSource& source) {
    StreamHandle stream = openStream(source.host.data(), source.port, sourceConnectTimeout);
    if (stream != invalidStreamHandle && source.kind == SourceKind::gpsd &&
        !writeStream(stream, gpsdWatchCommand, sourceCommandTimeout)) {
        closeStream(stream);
        return invalidStreamHandle;
    }
    return stream;
}

bool sourceOpen() {
    return gpsReader.network ? gpsReader.stream.load() != invalidStreamHandle
                             : gpsReader.port.load() != invalidPortHandle;
}

// Opens the port or connects to the source again, silently; true when it is open.
bool reopenSource() {
    if (!gpsReader.network) {
        gpsReader.port.store(reopenPort());
        return gpsReader.port.load() != invalidPortHandle;
    }
    resetGpsdLineFilter(gpsReader.gpsdLines);
    gpsReader.stream.store(connectSource(gpsReader.source));
    return gpsReader.stream.load() != invalidStreamHandle;
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
    closeSerialPort(port);
    return invalidPortHandle;
}

StreamHandle openGpsSource(const char* source) {
    NetworkSource parsed{};
    const bool understood = parseSourceUrl(source, parsed);
    StreamHandle stream = understood ? connectSource(parsed) : invalidStreamHandle;
    if (stream != invalidStreamHandle) return stream;
    showMessage(messageCantOpenGpsPort);
    if (understood) {
        reportStreamFailure(source);
    } else {
        reportFailure("cannot open GPS source", source, "not gpsd://HOST[:PORT] or tcp://HOST:PORT");
    }
    return invalidStreamHandle;
}

bool startGpsInput(const wchar_t* portName, std::int32_t baudRate, const char* source) {
    // An earlier reader holds its port exclusively and would read beside the
    // new one: it ends, and closes its port, first.
    stopGpsInput();
    gpsReader.network = source != nullptr && source[0] != '\0';
    if (gpsReader.network) {
        StreamHandle stream = openGpsSource(source);
        gpsReader.stream.store(stream);
        gpsReader.stop.store(0);
        if (stream == invalidStreamHandle) return false;
        parseSourceUrl(source, gpsReader.source);  // understood, as it connected
        resetGpsdLineFilter(gpsReader.gpsdLines);
    } else {
        PortHandle port = openGpsPort(portName, baudRate);
        gpsReader.port.store(port);
        gpsReader.stop.store(0);
        if (port == invalidPortHandle) return false;
        rememberPort(portName, baudRate);
    }
    gpsReader.active.fetch_add(1);
    std::thread(runReaderThread).detach();
    return true;
}

void stopGpsInput() {
    gpsReader.stop.store(1);
    while (gpsReader.active.load() != 0) std::this_thread::sleep_for(milliseconds(10));
}

std::size_t readGpsChunk(std::span<char, chunkCapacity> chunk) {
    if (gpsReader.network) {
        StreamHandle stream = gpsReader.stream.load();
        if (stream == invalidStreamHandle) return 0;
        PortReadResult result = readStream(stream, chunk, readWaitMilliseconds);
        if (result.status == PortReadStatus::failed) {
            gpsReader.stream.store(invalidStreamHandle);
            closeStream(stream);
        }
        if (gpsReader.source.kind != SourceKind::gpsd) return result.count;
        return dropGpsdJsonLines(gpsReader.gpsdLines, chunk, result.count);
    }
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
        if (!sourceOpen()) {
            resetFramer(framer);  // an unfinished sentence from the lost line is dropped
            resetCheckedFramer(checkedFramer);
            if (!waitBeforeReopening(failedOpenings)) break;
            failedOpenings = reopenSource() ? 0 : failedOpenings + 1;
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
    closeStream(gpsReader.stream.exchange(invalidStreamHandle));
    return 0;
}
