// Where the running program lives.
#pragma once

#include <cstddef>
#include <span>

constexpr std::size_t executablePathCapacity = 4096;  // PATH_MAX on Linux, terminator included

// Writes the full path of the running executable into buffer (not
// terminated) and returns its length; 0 when it cannot be read or does not fit.
std::size_t executablePath(std::span<char> buffer);
