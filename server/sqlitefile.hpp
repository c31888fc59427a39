// Which file a SQLite database path names, so that a server notices when the
// file it opened is deleted or replaced under it (restoring a backup with mv,
// a cleaning script): writes into a file no longer at the path would be lost
// while being answered as stored.
//
// The first opening of a path in a process may create the database and
// records the file's identity (device and inode); every later check of the
// path must find that very file. Thread-safe.
#pragma once

#include <string>

enum class DatabaseFile {
    first,    // not opened before in this process: it may be created now
    same,     // the file opened first is still at the path
    gone,     // no file at the path any more
    replaced  // another file is at the path
};

// What the path holds now, compared with its first opening.
DatabaseFile checkDatabaseFile(const std::string& path);

// Records the file now at path as the one this process opened; false when
// there is none.
bool recordDatabaseFile(const std::string& path);

// Makes an empty file at path, readable and writable by its owner alone, when
// there is none, for SQLite to make the database in: SQLite would create it
// with the umask's mode, and its -wal and -shm files take the database's mode.
// An existing file is left as it is. False when the file cannot be made.
bool createPrivateDatabaseFile(const std::string& path);

// "PATH was deleted" or "PATH was replaced by another file", and what follows.
std::string databaseFileProblem(const std::string& path, DatabaseFile state);
