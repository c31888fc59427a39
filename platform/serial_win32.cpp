// The serial port on Windows: "COMn:" names, exclusive opening with
// CreateFileW, line settings through GetCommState and SetCommState, and reads
// whose COMMTIMEOUTS make ReadFile wait for data without spinning and return a
// burst of sentences once the line goes quiet.
//
// Divisions: port names; open and close; line settings; reading.
#include "platform/serial.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string_view>

#include "platform/burst.hpp"
#include "platform/comport.hpp"
#include "platform/diagnostics.hpp"
#include "platform/process.hpp"
#include "platform/serial_failure.hpp"

// ---- port names ----------------------------------------------------------------

namespace {

constexpr wchar_t devicePrefix[] = L"\\\\.\\";

HANDLE toHandle(PortHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

}  // namespace

// "COMn:" becomes \\.\COMn, which reaches every port (plain "COM10" does
// not); other names are used as they are.
bool serialDevicePath(const wchar_t* portName, std::span<wchar_t, portPathCapacity> path) {
    if (portName == nullptr || portName[0] == L'\0') return false;
    std::size_t length = 0;
    auto append = [&](const wchar_t* text, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (length + 1 >= path.size()) return false;
            path[length++] = text[i];
        }
        return true;
    };
    const std::size_t comLength = readComPortName(portName).length;
    const bool fits = comLength != 0 ? append(devicePrefix, 4) && append(portName, comLength)
                                     : append(portName, std::wcslen(portName));
    path[length] = L'\0';
    return fits;
}

// ---- open and close --------------------------------------------------------------

PortHandle openSerialPort(const wchar_t* portName) {
    std::array<wchar_t, portPathCapacity> path{};
    if (!serialDevicePath(portName, path)) {
        noteFailure(PortFailure::name, 0);
        return invalidPortHandle;
    }
    // No sharing: a second opener, this program or another, is refused.
    HANDLE handle =
        CreateFileW(path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        noteFailure(PortFailure::open, GetLastError());
        return invalidPortHandle;
    }
    return reinterpret_cast<PortHandle>(handle);
}

void closeSerialPort(PortHandle port) {
    if (port != invalidPortHandle) CloseHandle(toHandle(port));
}

// ---- line settings -------------------------------------------------------------

namespace {

constexpr std::int64_t rateTolerancePercent = 3;

bool rateAccepted(DWORD actual, std::int32_t requested) {
    const std::int64_t difference = static_cast<std::int64_t>(actual) - requested;
    return std::llabs(difference) * 100 <= rateTolerancePercent * requested;
}

// Raw 8N1, no flow control, no character replaced or dropped, and errors that
// never block the next read (fAbortOnError off).
void applyFixedSettings(DCB& line) {
    line.fBinary = TRUE;
    line.fParity = FALSE;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDsrSensitivity = FALSE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fErrorChar = FALSE;
    line.fNull = FALSE;
    line.fAbortOnError = FALSE;
}

}  // namespace

bool getSerialPortState(PortHandle port, PortState& state) {
    if (port == invalidPortHandle) return false;
    DCB line{};
    line.DCBlength = sizeof line;
    if (!GetCommState(toHandle(port), &line)) return noteFailure(PortFailure::state, GetLastError());
    state.baudRate = line.BaudRate <= 0x7FFFFFFF ? static_cast<std::int32_t>(line.BaudRate) : 0;
    return true;
}

bool setSerialPortState(PortHandle port, const PortState& state) {
    if (state.baudRate <= 0) return noteFailure(PortFailure::rate, 0, state.baudRate);
    if (port == invalidPortHandle) return false;
    DCB line{};
    line.DCBlength = sizeof line;
    if (!GetCommState(toHandle(port), &line)) return noteFailure(PortFailure::setState, GetLastError());
    applyFixedSettings(line);
    line.BaudRate = static_cast<DWORD>(state.baudRate);
    if (!SetCommState(toHandle(port), &line)) return noteFailure(PortFailure::setState, GetLastError());
    // A driver may keep or round a rate it cannot do: only reading back tells.
    DCB actual{};
    actual.DCBlength = sizeof actual;
    if (!GetCommState(toHandle(port), &actual)) return noteFailure(PortFailure::setState, GetLastError());
    if (!rateAccepted(actual.BaudRate, state.baudRate))
        return noteFailure(PortFailure::rateRefused, 0, state.baudRate);
    return true;
}

// ---- reading -----------------------------------------------------------------------

namespace {

// Bytes received and not yet read; false when the port cannot tell (it went away).
bool bytesWaiting(HANDLE handle, DWORD& count) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status)) return false;
    count = status.cbInQue;
    return true;
}

std::int64_t bytesWaitingOn(std::intptr_t handle) {
    DWORD count = 0;
    return bytesWaiting(reinterpret_cast<HANDLE>(handle), count) ? static_cast<std::int64_t>(count) : -1;
}

bool readWithTimeouts(HANDLE handle, COMMTIMEOUTS timeouts, std::span<char> buffer, DWORD& count) {
    const auto capacity = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    count = 0;
    return SetCommTimeouts(handle, &timeouts) && ReadFile(handle, buffer.data(), capacity, &count, nullptr);
}

}  // namespace

PortReadResult readSerialPort(PortHandle port, std::span<char> buffer, int waitMilliseconds) {
    if (port == invalidPortHandle) return {PortReadStatus::failed, 0};
    if (buffer.empty()) return {PortReadStatus::idle, 0};
    HANDLE handle = toHandle(port);
    // The first ReadFile waits at most waitMilliseconds for one byte: with
    // MAXDWORD as both interval and multiplier it returns as soon as a byte
    // is there, and with nothing after the constant.
    DWORD first = 0;
    const auto wait = static_cast<DWORD>(std::max(waitMilliseconds, 1));
    if (!readWithTimeouts(handle, {MAXDWORD, MAXDWORD, wait, 0, 0}, buffer.first(1), first))
        return {PortReadStatus::failed, 0};
    if (first == 0) {
        // An adapter that was pulled out may go on returning nothing rather
        // than failing: its state tells.
        DWORD waiting = 0;
        return bytesWaiting(handle, waiting) ? PortReadResult{PortReadStatus::idle, 0}
                                             : PortReadResult{PortReadStatus::failed, 0};
    }
    // Then the rest of the burst, read at once (MAXDWORD interval, no total)
    // once the line is quiet.
    awaitEndOfBurst(bytesWaitingOn, reinterpret_cast<std::intptr_t>(handle), buffer.size() - 1);
    DWORD rest = 0;
    if (buffer.size() > 1 && !readWithTimeouts(handle, {MAXDWORD, 0, 0, 0, 0}, buffer.subspan(1), rest))
        rest = 0;
    return {PortReadStatus::data, static_cast<std::size_t>(first) + rest};
}

// ---- the diagnostic line -----------------------------------------------------------

void reportSerialPortFailure(const wchar_t* portName) {
    std::array<wchar_t, portPathCapacity> widePath{};
    std::array<char, portPathCapacity * 3> path{};  // the device path in UTF-8
    int pathLength = 0;
    if (serialDevicePath(portName, widePath)) {
        pathLength = WideCharToMultiByte(CP_UTF8, 0, widePath.data(), -1, path.data(),
                                         static_cast<int>(path.size()), nullptr, nullptr);
    }
    const std::string_view subject =
        pathLength > 1 ? std::string_view(path.data()) : std::string_view("(its name in settings.ini)");
    const PortFailureRecord failure = lastPortFailure();
    std::array<char, 160> errorText{};
    reportPortFailure(failure, subject, windowsErrorText(failure.error, errorText));
}
