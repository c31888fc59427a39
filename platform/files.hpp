// Where the running program lives.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>

constexpr std::size_t executablePathCapacity = 4096;  // PATH_MAX on Linux, terminator included

// Writes the full path of the running executable into buffer (not
// terminated) and returns its length; 0 when it cannot be read or does not
// fit. On Windows the path is UTF-8 with "/" between its parts (the file
// functions take either separator).
std::size_t executablePath(std::span<char> buffer);

// Opens the file at path (UTF-8) for reading bytes; null when it cannot be.
std::FILE* openFileForReading(const char* path);
