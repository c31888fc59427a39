// The store-and-forward queue: reports that could not be delivered, kept in a
// file until the server has them.
//
// The file is a row of fixed records of 96 bytes, each a line of text:
//   "+ 2026-12-07T18:10:54Z 48.1173 11.516667 10" padded with spaces to byte
//   86, a space, the CRC-32 of bytes 2 to 85 as 8 hex digits, and LF.
// The first byte is "+" while the report waits and "-" once it was delivered
// or dropped, so taking a report off the queue is one byte written in place.
// A record whose checksum does not match (a write torn by a crash or a power
// loss) is skipped; an unfinished record at the end is cut off on opening.
//
// The file is a ring of at most limit + 1 records: the waiting ones follow
// each other, oldest first, possibly running past the end of the file and on
// from its start; a new record goes into the place after the newest, over a
// done or damaged one, so a full queue never grows its file. At least one
// place outside the waiting run is always left, which tells where the run
// starts when the file is opened again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/datafile.hpp"
#include "report/fixtime.hpp"
#include "report/protocol.hpp"

constexpr std::size_t queueRecordSize = 96;
constexpr std::size_t queueFieldsEnd = 86;  // the fields fill bytes 2 to 85, padded with spaces
// The done records ahead of the waiting ones are moved out once they are at
// least this many and at least as many as the waiting ones: the file stays
// under twice the waiting reports plus this.
constexpr std::int64_t queueCompactionMinimum = 1024;
constexpr std::size_t queuePathFullCapacity = 4096 + 144;  // the program's folder and a queue line's path

// The longest fields, a space between each two, fit between the state mark
// and the checksum.
static_assert(2 + (fixTimeTextCapacity - 1) + 3 * (numberTextCapacity - 1) + 3 <= queueFieldsEnd,
              "a queue record's fields do not fit in it");

using QueueRecord = std::array<char, queueRecordSize>;

// One kept report: the number texts and the time as they were first sent.
struct KeptReport {
    NumberText latitude;
    NumberText longitude;
    NumberText speed;
    FixTimeText time;

    bool operator==(const KeptReport&) const = default;
};

enum class RecordState : std::uint8_t { waiting, done, damaged };

// The record of report, waiting.
QueueRecord encodeQueueRecord(const KeptReport& report);

// Reads a record: damaged when its checksum, its layout or a field does not
// hold; report is filled only for waiting and done.
RecordState decodeQueueRecord(std::span<const char, queueRecordSize> record, KeptReport& report);

struct ReportQueue {
    DataFileHandle file = noDataFile;
    std::int64_t records = 0;   // whole records in the file
    std::int64_t head = 0;      // where the oldest waiting record is, or the search for it goes on
    std::int64_t tail = 0;      // the place after the newest waiting record; records: at the end
    std::int64_t waiting = 0;   // records that wait
    std::int64_t limit = 0;     // most records that wait at once
    bool dropShown = false;     // the queue was full and said so; cleared when it empties
    std::int64_t sentKept = 0;  // reports sent from the queue since "Sent N kept reports." was last shown
    std::array<char, queuePathFullCapacity> path{};  // where the file is, zero-terminated
};

// Opens (or makes) the queue file at path and counts what waits. A torn
// record at the end is cut off; a file where nothing waits is emptied. False
// when the file cannot be opened or read (diagnosed).
//
// Before each write the queue looks whether the file at path is still the
// one open. When it was deleted or another was put in its place, the waiting
// records are written to the file at path (a new one, or after what waits in
// the one put there), flushed, and one diagnostic line says so; should the
// path not be usable, the open file is kept and the next write looks again.
bool openReportQueue(ReportQueue& queue, const char* path, std::int64_t limit);

void closeReportQueue(ReportQueue& queue);

enum class KeepResult : std::uint8_t { kept, keptDroppingOldest, failed };

// Writes report after the newest and flushes it to the disk before
// returning. With the queue full, the oldest waiting reports are dropped
// first, down to one less than the limit, and their room is used again.
KeepResult keepReport(ReportQueue& queue, const KeptReport& report);

// The oldest waiting report; false when none waits or the file cannot be read.
bool oldestKeptReport(ReportQueue& queue, KeptReport& report);

// Takes the oldest waiting report off the queue (after oldestKeptReport). Not
// flushed: should the mark be lost, the report is sent again, and the server
// knows it by its account and time. An emptied queue is cut to nothing;
// otherwise a file that does not run past its end is compacted as
// queueCompactionMinimum says.
bool removeOldestKeptReport(ReportQueue& queue);

// The latest time among the reports in the file, waiting or done; false when
// there is none or the file cannot be read.
bool newestKeptTime(ReportQueue& queue, FixTimeText& time);

// The queue line's path as it is opened: an absolute path as written, a
// relative one in the program's folder. False when it is empty or does not fit.
bool resolveQueuePath(const char* setting, std::span<char, queuePathFullCapacity> path);
