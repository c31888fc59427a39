// A file of records that must outlive the program: read and written at given
// offsets, flushed to the disk on request, cut to a length. Used for the
// store-and-forward queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// An open file: a descriptor on Linux, a HANDLE on Windows.
using DataFileHandle = std::intptr_t;
constexpr DataFileHandle noDataFile = -1;

// Opens path (UTF-8) for reading and writing, making it (readable by its
// owner only) when it is missing. noDataFile when it cannot; the system's
// reason then goes to the diagnostics, naming path. A file made here has its
// name on the disk before this returns. On Windows the file can be deleted
// or renamed while it is open, as on Linux.
DataFileHandle openDataFile(const char* path);

// Whether the file at path is no longer the open file: nothing is there (it
// was deleted or renamed) or another file is. False when the system cannot
// tell (a folder that cannot be read): the open file is then kept.
bool dataFileMovedAway(DataFileHandle file, const char* path);

void closeDataFile(DataFileHandle file);

// The file's length in bytes; -1 when it cannot be read.
std::int64_t dataFileSize(DataFileHandle file);

// Reads up to buffer.size() bytes at offset; the count read (less at the end
// of the file), 0 on failure.
std::size_t readDataFile(DataFileHandle file, std::int64_t offset, std::span<char> buffer);

// Writes all of bytes at offset; false when it could not (diagnosed).
bool writeDataFile(DataFileHandle file, std::int64_t offset, std::span<const char> bytes);

// Waits until what was written is on the disk; false when it cannot be
// (diagnosed).
bool syncDataFile(DataFileHandle file);

// Cuts or extends the file to length bytes; false when it cannot (diagnosed).
bool truncateDataFile(DataFileHandle file, std::int64_t length);

// Whether path names a file from the root ("/..." on Linux; "C:/", "C:\",
// "\\server\..." or "/..." on Windows) rather than relative to a folder.
bool isAbsolutePath(std::string_view path);
