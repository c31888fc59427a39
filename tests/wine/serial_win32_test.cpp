// The Windows serial port's names, and the calls on a port that did not open.
// (Reading a real port under Wine is the end-to-end test's part.)
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/serial.hpp"

TEST(SerialPortWindows, MapsComNamesToDevicePaths) {
    struct Case {
        const wchar_t* name;
        const wchar_t* path;  // nullptr: refused
    };
    const Case cases[] = {
        {L"COM4:", L"\\\\.\\COM4"},
        {L"COM4", L"\\\\.\\COM4"},
        {L"com12:", L"\\\\.\\com12"},
        {L"COM9999:", L"\\\\.\\COM9999"},
        {L"COM0:", L"COM0:"},          // no such COM number: as it is
        {L"COM10000:", L"COM10000:"},  // beyond the numbers Windows gives
        {L"COM4:x", L"COM4:x"},
        {L"COM:", L"COM:"},
        {L"\\\\.\\COM7", L"\\\\.\\COM7"},
        {L"", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
        std::array<wchar_t, portPathCapacity> path{};
        const bool mapped = serialDevicePath(c.name, path);
        ASSERT_EQ(mapped, c.path != nullptr);
        if (mapped) {
            EXPECT_EQ(std::wstring(path.data()), c.path);
        }
    }
    std::array<wchar_t, portPathCapacity> path{};
    EXPECT_TRUE(serialDevicePath(std::wstring(portPathCapacity - 1, L'a').c_str(), path));
    EXPECT_FALSE(serialDevicePath(std::wstring(portPathCapacity, L'a').c_str(), path));
}

TEST(SerialPortWindows, APortThatDidNotOpenFailsEveryCall) {
    const PortHandle port = openSerialPort(L"COM250:");
    ASSERT_EQ(port, invalidPortHandle);
    PortState state{4800};
    EXPECT_FALSE(getSerialPortState(port, state));
    EXPECT_FALSE(setSerialPortState(port, state));
    std::array<char, 16> buffer{};
    EXPECT_EQ(readSerialPort(port, buffer, 10).status, PortReadStatus::failed);
    closeSerialPort(port);  // ignored
}
