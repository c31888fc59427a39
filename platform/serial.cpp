// The serial port on Linux: name mapping, opening under an advisory lock, line settings
// through the kernel's termios2 interface (which carries any baud rate, not
// only the standard ones) and reads that wait for data without spinning.
//
// Divisions: errno mapping and interrupted-call wrappers; port names; open and
// close; line settings; reading.
//
// The kernel's own termios header is used instead of the C library's: the two
// define the same names and cannot meet in one file, and only the kernel's has
// termios2 and BOTHER. Where termios2 is missing, the classic termios sets
// the standard rates.
#include "platform/serial.hpp"

#include "platform/burst.hpp"
#include "platform/comport.hpp"
#include "platform/diagnostics.hpp"
#include "platform/serial_failure.hpp"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// ---- errno mapping and interrupted-call wrappers ---------------------------

namespace {

enum class ErrnoOutcome : std::uint8_t { retry, idle, failed };

// The one place where errno becomes what the callers need to know.
ErrnoOutcome classifyErrno(int error) {
    switch (error) {
        case EINTR:  // a signal arrived before anything happened: do it again
            return ErrnoOutcome::retry;
        case EAGAIN:  // nothing to read yet (EWOULDBLOCK is the same value here)
            return ErrnoOutcome::idle;
        default:  // EIO after a hang-up, ENODEV after unplugging, EBADF, ENOTTY ...
            return ErrnoOutcome::failed;
    }
}

int openRetrying(const char* path, int flags) {
    for (;;) {
        int fd = ::open(path, flags);
        if (fd >= 0 || classifyErrno(errno) != ErrnoOutcome::retry) return fd;
    }
}

bool ioctlRetrying(int fd, unsigned long request, void* argument) {
    for (;;) {
        if (::ioctl(fd, request, argument) == 0) return true;
        if (classifyErrno(errno) != ErrnoOutcome::retry) return false;
    }
}

bool flockRetrying(int fd, int operation) {
    for (;;) {
        if (::flock(fd, operation) == 0) return true;
        if (classifyErrno(errno) != ErrnoOutcome::retry) return false;
    }
}

}  // namespace

// ---- port names ----------------------------------------------------------------

namespace {

constexpr char devicePrefix[] = "/dev/";
constexpr char comPortPrefix[] = "/dev/ttyS";

struct PathWriter {
    std::span<char, portPathCapacity> path;
    std::size_t length;  // bytes written, terminator not counted
    bool fits;
};

void appendByte(PathWriter& writer, char byte) {
    if (writer.length + 1 >= writer.path.size()) {
        writer.fits = false;
        return;
    }
    writer.path[writer.length++] = byte;
}

void appendText(PathWriter& writer, const char* text) {
    for (; *text != '\0'; ++text) appendByte(writer, *text);
}

// File names on Linux are bytes; wide characters become UTF-8.
bool appendUtf8(PathWriter& writer, char32_t c) {
    auto byte = [](char32_t bits) { return static_cast<char>(static_cast<unsigned char>(bits)); };
    if (c < 0x80) {
        appendByte(writer, byte(c));
    } else if (c < 0x800) {
        appendByte(writer, byte(0xC0 | (c >> 6)));
        appendByte(writer, byte(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF) return false;  // surrogates are not characters
        appendByte(writer, byte(0xE0 | (c >> 12)));
        appendByte(writer, byte(0x80 | ((c >> 6) & 0x3F)));
        appendByte(writer, byte(0x80 | (c & 0x3F)));
    } else if (c < 0x110000) {
        appendByte(writer, byte(0xF0 | (c >> 18)));
        appendByte(writer, byte(0x80 | ((c >> 12) & 0x3F)));
        appendByte(writer, byte(0x80 | ((c >> 6) & 0x3F)));
        appendByte(writer, byte(0x80 | (c & 0x3F)));
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool serialDevicePath(const wchar_t* portName, std::span<char, portPathCapacity> path) {
    PathWriter writer{path, 0, true};
    if (portName == nullptr || portName[0] == L'\0') return false;
    // Only the handheld's own form, with its colon: a plain "COM1" is a file name.
    if (const ComPortName com = readComPortName(portName); com.colon) {
        const unsigned long number = com.number;
        appendText(writer, comPortPrefix);
        std::array<char, 8> digits{};  // up to 9998 and a terminator
        std::size_t count = 0;
        for (unsigned long index = number - 1; count == 0 || index != 0; index /= 10) {
            digits[count++] = static_cast<char>('0' + index % 10);
        }
        while (count > 0) appendByte(writer, digits[--count]);
    } else {
        if (portName[0] != L'/' && portName[0] != L'.') appendText(writer, devicePrefix);
        for (const wchar_t* c = portName; *c != L'\0'; ++c) {
            if (!appendUtf8(writer, static_cast<char32_t>(*c))) return false;
        }
    }
    if (!writer.fits) return false;
    path[writer.length] = '\0';
    return true;
}

// ---- open and close ----------------------------------------------------------------

namespace {

// An advisory lock keeps out every opener that locks the device, as this
// program and other serial programs do; the kernel drops it when its holder
// ends in any way. The device's own exclusive mode (TIOCEXCL) is not used: it
// belongs to the device, not to a descriptor, so a copy killed while the other
// side kept the device open (a pseudo-terminal, some USB adapters) would leave
// it set and lock every later start of an ordinary user out with EBUSY. Holding
// the lock proves no locking program has the port, so such a stale mode, left
// by a killed holder, is cleared where this opener may.
bool holdExclusively(int fd) {
    if (!flockRetrying(fd, LOCK_EX | LOCK_NB)) {
        return noteFailure(errno == EWOULDBLOCK ? PortFailure::busy : PortFailure::open, errno);
    }
    ioctlRetrying(fd, TIOCNXCL, nullptr);  // ENOTTY for a file: its settings will refuse it
    return true;
}

}  // namespace

PortHandle openSerialPort(const wchar_t* portName) {
    std::array<char, portPathCapacity> path;
    if (!serialDevicePath(portName, path)) {
        noteFailure(PortFailure::name, 0);
        return invalidPortHandle;
    }
    // Opened without waiting for a carrier; reads wait again once it is open.
    int fd = openRetrying(path.data(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        noteFailure(PortFailure::open, errno);
        return invalidPortHandle;
    }
    if (!holdExclusively(fd)) {
        ::close(fd);
        return invalidPortHandle;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        noteFailure(PortFailure::open, errno);
        ::close(fd);
        return invalidPortHandle;
    }
    return fd;
}

void closeSerialPort(PortHandle port) {
    if (port == invalidPortHandle) return;
    // Not repeated on EINTR: Linux has closed the descriptor either way.
    ::close(port);
}

// ---- line settings -----------------------------------------------------------------

namespace {

struct StandardRate {
    std::int32_t rate;
    unsigned int code;  // the rate's constant in the control flags
};

constexpr StandardRate standardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// A UART tolerates a few percent between the two ends; a driver that can only
// come this close to an unusual rate still receives correctly.
constexpr std::int64_t rateTolerancePercent = 3;

// A read returns what has arrived, at least one byte, at once: the waiting
// for a whole burst is done before the read (see readSerialPort), because the
// terminal layer hands a waiting read at most 64 bytes at a time whatever the
// minimum count asks, which would take a 4800-baud burst in many reads.
constexpr unsigned char readMinimum = 1;
constexpr unsigned char readGapDeciseconds = 0;

// The standard rate's constant for a rate, or BOTHER when it has none.
unsigned int standardRateCode(std::int32_t rate) {
    for (const StandardRate& standard : standardRates) {
        if (standard.rate == rate) return standard.code;
    }
    return BOTHER;
}

// The rate of a standard constant in the control flags, or 0.
std::int32_t standardRateOf(unsigned int flags) {
    for (const StandardRate& standard : standardRates) {
        if (standard.code == (flags & CBAUD)) return standard.rate;
    }
    return 0;
}

// termios2 or the classic termios, which share these fields.
template <typename Line>
void applyFixedSettings(Line& line) {
    line.c_iflag = IGNBRK | IGNPAR;  // a break or a bad byte must not read as a zero byte
    line.c_oflag = 0;
    line.c_lflag = 0;
    line.c_cflag = CS8 | CREAD | CLOCAL;
    line.c_cc[VMIN] = readMinimum;
    line.c_cc[VTIME] = readGapDeciseconds;
}

void applyRate(termios2& line, std::int32_t rate) {
    const unsigned int code = standardRateCode(rate);
    line.c_cflag =
        (line.c_cflag & ~static_cast<unsigned int>(CBAUD | CIBAUD)) | code;  // input rate as output
    line.c_ispeed = static_cast<speed_t>(rate);
    line.c_ospeed = static_cast<speed_t>(rate);
}

// A kernel without termios2, or qemu-user emulating another processor, says
// ENOSYS; the classic termios then carries the standard rates.
bool withoutTermios2(int error) {
    return error == ENOSYS;
}

bool setClassicState(PortHandle port, std::int32_t rate) {
    const unsigned int code = standardRateCode(rate);
    if (code == BOTHER) return noteFailure(PortFailure::rateRefused, 0, rate);
    termios line{};
    if (!ioctlRetrying(port, TCGETS, &line)) return noteFailure(PortFailure::setState, errno);
    applyFixedSettings(line);
    line.c_cflag = (line.c_cflag & ~static_cast<unsigned int>(CBAUD | CIBAUD)) | code;
    if (!ioctlRetrying(port, TCSETS, &line)) return noteFailure(PortFailure::setState, errno);
    termios actual{};
    if (!ioctlRetrying(port, TCGETS, &actual)) return noteFailure(PortFailure::setState, errno);
    if ((actual.c_cflag & CBAUD) != code) return noteFailure(PortFailure::rateRefused, 0, rate);
    return true;
}

bool rateAccepted(speed_t actual, std::int32_t requested) {
    std::int64_t difference = static_cast<std::int64_t>(actual) - requested;
    return std::llabs(difference) * 100 <= rateTolerancePercent * requested;
}

}  // namespace

bool getSerialPortState(PortHandle port, PortState& state) {
    termios2 line{};
    if (port == invalidPortHandle) return false;  // the opening has noted why
    if (!ioctlRetrying(port, TCGETS2, &line)) {
        termios classic{};
        if (!withoutTermios2(errno) || !ioctlRetrying(port, TCGETS, &classic)) {
            return noteFailure(PortFailure::state, errno);
        }
        state.baudRate = standardRateOf(classic.c_cflag);
        return true;
    }
    state.baudRate = line.c_ospeed <= 0x7FFFFFFF ? static_cast<std::int32_t>(line.c_ospeed) : 0;
    return true;
}

bool setSerialPortState(PortHandle port, const PortState& state) {
    if (state.baudRate <= 0) return noteFailure(PortFailure::rate, 0, state.baudRate);
    termios2 line{};
    if (!ioctlRetrying(port, TCGETS2, &line)) {
        if (withoutTermios2(errno)) return setClassicState(port, state.baudRate);
        return noteFailure(PortFailure::setState, errno);
    }
    applyFixedSettings(line);
    applyRate(line, state.baudRate);
    if (!ioctlRetrying(port, TCSETS2, &line)) return noteFailure(PortFailure::setState, errno);
    // A driver that cannot do the rate keeps or rounds it instead of failing;
    // only reading the settings back tells.
    termios2 actual{};
    if (!ioctlRetrying(port, TCGETS2, &actual)) return noteFailure(PortFailure::setState, errno);
    if (!rateAccepted(actual.c_ospeed, state.baudRate)) {
        return noteFailure(PortFailure::rateRefused, 0, state.baudRate);
    }
    return true;
}

// ---- reading -----------------------------------------------------------------------

namespace {

PortReadResult readResult(ErrnoOutcome outcome) {
    return {outcome == ErrnoOutcome::idle ? PortReadStatus::idle : PortReadStatus::failed, 0};
}

// Bytes received and not yet read, or -1 when the port cannot tell (hung up).
std::int64_t bytesWaiting(std::intptr_t fd) {
    int count = 0;
    return ioctlRetrying(static_cast<int>(fd), TIOCINQ, &count) ? count : -1;
}

}  // namespace

PortReadResult readSerialPort(PortHandle port, std::span<char> buffer, int waitMilliseconds) {
    if (port == invalidPortHandle) return {PortReadStatus::failed, 0};
    if (buffer.empty()) return {PortReadStatus::idle, 0};
    pollfd ready{port, POLLIN, 0};
    for (;;) {
        int count = ::poll(&ready, 1, waitMilliseconds);
        if (count > 0) break;
        if (count == 0) return {PortReadStatus::idle, 0};
        if (ErrnoOutcome outcome = classifyErrno(errno); outcome != ErrnoOutcome::retry)
            return readResult(outcome);
    }
    if ((ready.revents & POLLNVAL) != 0) return {PortReadStatus::failed, 0};
    // Ready, or hung up (then the read below returns its end at once).
    awaitEndOfBurst(bytesWaiting, port, buffer.size());
    for (;;) {
        ssize_t count = ::read(port, buffer.data(), buffer.size());
        if (count > 0) return {PortReadStatus::data, static_cast<std::size_t>(count)};
        // Reads return at least one byte, and the port was ready: nothing
        // read is the end of the line (the device hung up or went away).
        if (count == 0) return {PortReadStatus::failed, 0};
        if (ErrnoOutcome outcome = classifyErrno(errno); outcome != ErrnoOutcome::retry)
            return readResult(outcome);
    }
}

// ---- the diagnostic line -----------------------------------------------------------

void reportSerialPortFailure(const wchar_t* portName) {
    std::array<char, portPathCapacity> path;
    const bool named = serialDevicePath(portName, path);
    const std::string_view subject = named ? std::string_view(path.data()) : "(its name in settings.ini)";
    const PortFailureRecord failure = lastPortFailure();
    reportPortFailure(failure, subject, systemReason(failure.error));
}
