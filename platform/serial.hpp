// Serial port access for the GPS receiver: the port is opened under a lock,
// its line settings read and set, and bytes read from it. Nothing is ever
// written to the port.
//
// Port names on Linux: a path ("/dev/ttyUSB0", "/dev/pts/3", "./gps") is
// opened as it is; a bare device name ("ttyUSB0") means that name under /dev;
// "COMn:" (n from 1, any letter case) means /dev/ttyS(n-1), so "COM1:" is
// /dev/ttyS0. On Windows "COMn:" (or "COMn") is the device \\.\COMn, and any
// other name is opened as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#ifdef _WIN32
using PortHandle = std::intptr_t;  // the value of an open HANDLE
#else
using PortHandle = int;  // an open file descriptor
#endif
constexpr PortHandle invalidPortHandle = -1;  // INVALID_HANDLE_VALUE on Windows

constexpr std::size_t portPathCapacity = 256;  // a device path of 255 bytes and a terminator

// The line settings that the rest of the system sees. Every other setting is
// fixed: raw input, 8 data bits, no parity, 1 stop bit, no flow control,
// receiver on, modem control lines ignored, break and framing errors dropped
// rather than read as zero bytes.
struct PortState {
    std::int32_t baudRate;  // bits per second; 0 when the port reports none
};

enum class PortReadStatus : std::uint8_t {
    data,    // count bytes were read
    idle,    // nothing arrived within the wait
    failed,  // the port failed, hung up or reached its end; it will not deliver again
};

struct PortReadResult {
    PortReadStatus status;
    std::size_t count;  // bytes read; 0 unless status is data
};

#ifdef _WIN32
// Writes the device path of portName, terminated, into path. False for an
// empty name or a path that does not fit.
bool serialDevicePath(const wchar_t* portName, std::span<wchar_t, portPathCapacity> path);
#else
// Writes the device path of portName, terminated, into path. False for an
// empty name, a name that is not valid text, or a path that does not fit.
bool serialDevicePath(const wchar_t* portName, std::span<char, portPathCapacity> path);
#endif

// Opens the port for reading and writing under an exclusive advisory lock:
// while it is open, a second opener that locks the device (this program or
// another) fails; once its holder has ended in any way, the next open
// succeeds. The open does not wait for a carrier. invalidPortHandle when it
// cannot be opened.
PortHandle openSerialPort(const wchar_t* portName);

// Reads the port's settings. False when the handle is not an open terminal
// device (an invalid handle included).
bool getSerialPortState(PortHandle port, PortState& state);

// Sets the fixed line settings and state.baudRate. Every standard rate from
// 50 to 4000000 is set exactly; another positive rate is used when the driver
// takes it (within 3%). False when the rate is 0 or negative or the driver
// refuses it.
bool setSerialPortState(PortHandle port, const PortState& state);

// Waits at most waitMilliseconds for data; once some has arrived, waits on
// until the line has been quiet for a tenth of a second (or buffer.size()
// bytes are there), then reads them, at most buffer.size(). So a receiver's
// burst of sentences comes in one or two reads, not byte by byte. Interrupted
// calls are repeated.
PortReadResult readSerialPort(PortHandle port, std::span<char> buffer, int waitMilliseconds);

// Closes an open port; an invalid handle is ignored.
void closeSerialPort(PortHandle port);

// The diagnostic line (platform/diagnostics.hpp) for the last failure of
// openSerialPort, getSerialPortState or setSerialPortState on this thread:
// the device path of portName and the reason.
void reportSerialPortFailure(const wchar_t* portName);
