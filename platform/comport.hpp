// The handheld's serial port names, "COMn:", read the same way on Linux (where
// COMn: is /dev/ttyS(n-1)) and on Windows (\\.\COMn).
#pragma once

#include <cstddef>

constexpr unsigned long maxComPortNumber = 9999;  // four digits: the longest device path still fits

struct ComPortName {
    unsigned long number;  // n, from 1; 0 when the name is not "COMn" or "COMn:"
    std::size_t length;    // characters of "COMn", without the colon
    bool colon;            // written "COMn:"
};

// Reads "COMn:" or "COMn" (COM in any case, n in decimal digits from 1 to
// maxComPortNumber, nothing after); number 0 for any other name.
ComPortName readComPortName(const wchar_t* name);
