// The store-and-forward queue file.
//
// Divisions: the record (CRC-32, encoding, decoding); opening and scanning;
// keeping; taking off and compacting; the path. Every read and write goes
// through a fixed buffer of whole records on the caller's stack.
#include "report/queue.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "platform/diagnostics.hpp"
#include "platform/files.hpp"
#include "report/text.hpp"

// ---- The record -----------------------------------------------------------

namespace {

constexpr std::size_t checksumAt = queueFieldsEnd + 1;  // 8 hex digits, then LF
constexpr char waitingMark = '+';
constexpr char doneMark = '-';
constexpr std::size_t scanRecords = 32;  // records read at a time

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> crcTable = makeCrcTable();

// CRC-32 as zlib and PNG compute it.
std::uint32_t crc32(std::span<const char> bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char byte : bytes) c = crcTable[(c ^ static_cast<unsigned char>(byte)) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

constexpr std::string_view hexDigits = "0123456789abcdef";

bool isNumberCharacter(char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e';
}

// "YYYY-MM-DDTHH:MM:SSZ": digits where digits belong, the marks in place.
bool isFixTime(std::string_view text) {
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != shape[i]) return false;
    }
    return true;
}

// Takes the next field (up to a space) off fields into out; false when it is
// empty, too long or holds another character than allowed.
template <std::size_t capacity>
bool takeField(std::string_view& fields, std::array<char, capacity>& out, bool time) {
    const std::size_t end = std::min(fields.find(' '), fields.size());
    const std::string_view field = fields.substr(0, end);
    fields.remove_prefix(std::min(end + 1, fields.size()));
    const bool valid = time ? isFixTime(field)
                            : !field.empty() && std::all_of(field.begin(), field.end(), isNumberCharacter);
    if (!valid || field.size() >= capacity) return false;
    out.fill('\0');
    std::copy(field.begin(), field.end(), out.begin());
    return true;
}

}  // namespace

QueueRecord encodeQueueRecord(const KeptReport& report) {
    QueueRecord record;
    record.fill(' ');
    std::size_t at = 2;
    for (const std::string_view field : {terminatedText(report.time), terminatedText(report.latitude),
                                         terminatedText(report.longitude), terminatedText(report.speed)}) {
        if (at > 2) ++at;
        at = static_cast<std::size_t>(
            std::copy(field.begin(), field.end(), record.begin() + static_cast<std::ptrdiff_t>(at)) -
            record.begin());
    }
    record[0] = waitingMark;
    const std::uint32_t checksum = crc32(std::span<const char>(record).subspan(2, queueFieldsEnd - 2));
    for (std::size_t i = 0; i < 8; ++i) record[checksumAt + i] = hexDigits[(checksum >> (28 - 4 * i)) & 0xFu];
    record[queueRecordSize - 1] = '\n';
    return record;
}

RecordState decodeQueueRecord(std::span<const char, queueRecordSize> record, KeptReport& report) {
    if ((record[0] != waitingMark && record[0] != doneMark) || record[1] != ' ' ||
        record[queueFieldsEnd] != ' ' || record[queueRecordSize - 1] != '\n')
        return RecordState::damaged;
    std::uint32_t stored = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::size_t digit = hexDigits.find(record[checksumAt + i]);
        if (digit == std::string_view::npos) return RecordState::damaged;
        stored = (stored << 4) | static_cast<std::uint32_t>(digit);
    }
    if (crc32(record.subspan(2, queueFieldsEnd - 2)) != stored) return RecordState::damaged;
    std::string_view fields(record.data() + 2, queueFieldsEnd - 2);
    fields = fields.substr(0, fields.find_last_not_of(' ') + 1);
    KeptReport read{};
    if (!takeField(fields, read.time, true) || !takeField(fields, read.latitude, false) ||
        !takeField(fields, read.longitude, false) || !takeField(fields, read.speed, false) || !fields.empty())
        return RecordState::damaged;
    report = read;
    return record[0] == waitingMark ? RecordState::waiting : RecordState::done;
}

// ---- Opening --------------------------------------------------------------

namespace {

std::int64_t offsetOf(std::int64_t record) {
    return record * static_cast<std::int64_t>(queueRecordSize);
}

using RecordBlock = std::array<char, scanRecords * queueRecordSize>;

// Reads up to scanRecords whole records from first on, not past the end of
// the file; how many were read.
std::size_t readRecords(const ReportQueue& queue, std::int64_t first, RecordBlock& block) {
    const std::int64_t wanted = std::min<std::int64_t>(scanRecords, queue.records - first);
    if (wanted <= 0) return 0;
    const std::size_t bytes = static_cast<std::size_t>(wanted) * queueRecordSize;
    return readDataFile(queue.file, offsetOf(first), std::span<char>(block).first(bytes)) / queueRecordSize;
}

std::span<const char, queueRecordSize> recordIn(const RecordBlock& block, std::size_t index) {
    return std::span<const char, queueRecordSize>(block.data() + index * queueRecordSize, queueRecordSize);
}

// Cuts the file to nothing once nothing waits.
bool emptyQueue(ReportQueue& queue) {
    if (!truncateDataFile(queue.file, 0) || !syncDataFile(queue.file)) return false;
    queue.records = queue.head = queue.tail = queue.waiting = 0;
    queue.dropShown = false;
    return true;
}

// What a scan of the file found, to place the ring's ends.
struct RingScan {
    std::int64_t firstWaiting = -1;
    std::int64_t lastWaiting = -1;
    std::int64_t lastGap = -1;               // the last record that does not wait
    std::int64_t lastWaitingBeforeGap = -1;  // the last waiting record before lastGap
    bool firstWaits = false;
};

void noteRecord(RingScan& scan, std::int64_t index, bool waits) {
    if (!waits) {
        scan.lastGap = index;
        scan.lastWaitingBeforeGap = scan.lastWaiting;
        return;
    }
    if (scan.firstWaiting < 0) scan.firstWaiting = index;
    scan.firstWaits = scan.firstWaits || index == 0;
    scan.lastWaiting = index;
}

// The waiting run starts after the last gap when it runs past the end of the
// file (the first and the last record wait, a gap between), else at the
// first waiting record; it ends at the newest before that start.
void placeRingEnds(ReportQueue& queue, const RingScan& scan) {
    const bool wrapped = scan.firstWaits && scan.lastWaiting == queue.records - 1 && scan.lastGap >= 0;
    queue.head = wrapped ? scan.lastGap + 1 : scan.firstWaiting;
    queue.tail = (wrapped ? scan.lastWaitingBeforeGap : scan.lastWaiting) + 1;
}

bool copyQueuePath(const char* path, std::array<char, queuePathFullCapacity>& out) {
    const std::string_view name(path);
    if (name.size() >= out.size()) return false;
    out.fill('\0');
    std::copy(name.begin(), name.end(), out.begin());
    return true;
}

}  // namespace

bool openReportQueue(ReportQueue& queue, const char* path, std::int64_t limit) {
    closeReportQueue(queue);
    queue = ReportQueue{};
    queue.limit = std::max<std::int64_t>(limit, 1);
    if (!copyQueuePath(path, queue.path)) return false;
    queue.file = openDataFile(path);
    if (queue.file == noDataFile) return false;
    const std::int64_t size = dataFileSize(queue.file);
    if (size < 0) {
        closeReportQueue(queue);
        return false;
    }
    queue.records = size / static_cast<std::int64_t>(queueRecordSize);
    RingScan scan;
    RecordBlock block;
    for (std::int64_t first = 0; first < queue.records;) {
        const std::size_t count = readRecords(queue, first, block);
        if (count == 0) {
            closeReportQueue(queue);
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) {
            KeptReport report;
            const bool waits = decodeQueueRecord(recordIn(block, i), report) == RecordState::waiting;
            noteRecord(scan, first + static_cast<std::int64_t>(i), waits);
            if (waits) ++queue.waiting;
        }
        first += static_cast<std::int64_t>(count);
    }
    if (queue.waiting == 0) {
        if (emptyQueue(queue)) return true;
        closeReportQueue(queue);
        return false;
    }
    placeRingEnds(queue, scan);
    // A record broken off at the end by a crash: writing after it would put
    // every later record out of step.
    if (size != offsetOf(queue.records) && !truncateDataFile(queue.file, offsetOf(queue.records))) {
        closeReportQueue(queue);
        return false;
    }
    return true;
}

void closeReportQueue(ReportQueue& queue) {
    closeDataFile(queue.file);
    queue.file = noDataFile;
}

// ---- Keeping --------------------------------------------------------------

namespace {

// Marks record index as done: one byte, written in place.
bool markDone(ReportQueue& queue, std::int64_t index) {
    const char mark = doneMark;
    return writeDataFile(queue.file, offsetOf(index), std::span<const char>(&mark, 1));
}

// The oldest waiting report, the search going on from head round the ring;
// head is left on it. False when none waits or the file cannot be read.
bool findOldest(ReportQueue& queue, KeptReport& report) {
    RecordBlock block;
    for (std::int64_t seen = 0; queue.waiting > 0 && seen < queue.records;) {
        if (queue.head >= queue.records) queue.head = 0;
        const std::size_t count = readRecords(queue, queue.head, block);
        if (count == 0) return false;
        for (std::size_t i = 0; i < count; ++i, ++queue.head, ++seen) {
            if (decodeQueueRecord(recordIn(block, i), report) == RecordState::waiting) return true;
        }
    }
    // Nothing waits after all (the file was changed under the program): the
    // count follows the file.
    queue.waiting = 0;
    return false;
}

// Where the next record goes: after the newest, past the end of the file
// only while it holds fewer than limit + 1 records, else round to the
// start. A place that still waits (a file changed under the program) is
// never written over: the record then goes at the end.
bool nextPlace(ReportQueue& queue, std::int64_t& place) {
    place = queue.tail;
    if (place >= queue.records) place = queue.records < queue.limit + 1 ? queue.records : 0;
    if (place >= queue.records || queue.waiting == 0) return true;
    std::array<char, queueRecordSize> record;
    if (readDataFile(queue.file, offsetOf(place), record) != record.size()) return false;
    KeptReport report;
    if (decodeQueueRecord(record, report) == RecordState::waiting) place = queue.records;
    return true;
}

// Drops the oldest while the queue is full and writes the record of report
// in the next place; not flushed. kept, keptDroppingOldest or failed.
KeepResult writeKeptReport(ReportQueue& queue, const KeptReport& report) {
    bool dropped = false;
    // More than the limit waits when the file was kept under a larger one.
    while (queue.waiting >= queue.limit) {
        KeptReport oldest;
        if (!findOldest(queue, oldest) || !markDone(queue, queue.head)) return KeepResult::failed;
        --queue.waiting;
        ++queue.head;
        dropped = true;
    }
    std::int64_t place = 0;
    const QueueRecord record = encodeQueueRecord(report);
    // Whatever part of a failed write reached the file fails its checksum:
    // it is skipped, and cut off at the end when the queue is opened next.
    if (!nextPlace(queue, place) || !writeDataFile(queue.file, offsetOf(place), record))
        return KeepResult::failed;
    if (queue.waiting == 0) queue.head = place;
    queue.records = std::max(queue.records, place + 1);
    queue.tail = place + 1;
    ++queue.waiting;
    return dropped ? KeepResult::keptDroppingOldest : KeepResult::kept;
}

// The file at the queue's path is not the open one any more: opens the path
// afresh, writes every waiting record there after what waits in it already,
// flushes it and goes on with it. The open file stays when any step fails.
void followQueuePath(ReportQueue& queue) {
    if (queue.file == noDataFile || !dataFileMovedAway(queue.file, queue.path.data())) return;
    ReportQueue fresh;
    if (!openReportQueue(fresh, queue.path.data(), queue.limit)) return;
    ReportQueue old = queue;  // walked through here; queue stays whole until the end
    std::int64_t carried = 0;
    KeptReport report;
    while (findOldest(old, report)) {
        if (writeKeptReport(fresh, report) == KeepResult::failed) {
            closeReportQueue(fresh);
            return;
        }
        ++old.head;
        --old.waiting;
        ++carried;
    }
    if (!syncDataFile(fresh.file)) {
        closeReportQueue(fresh);
        return;
    }
    fresh.dropShown = queue.dropShown;
    fresh.sentKept = queue.sentKept;
    closeReportQueue(queue);
    queue = fresh;
    std::array<char, 64> reason{};
    std::snprintf(reason.data(), reason.size(), "%lld waiting reports written to a new file",
                  static_cast<long long>(carried));
    reportFailure("queue file deleted or replaced", queue.path.data(), reason.data());
}

}  // namespace

KeepResult keepReport(ReportQueue& queue, const KeptReport& report) {
    if (queue.file == noDataFile) return KeepResult::failed;
    followQueuePath(queue);
    const KeepResult result = writeKeptReport(queue, report);
    if (result == KeepResult::failed || !syncDataFile(queue.file)) return KeepResult::failed;
    return result;
}

// ---- Taking off and compacting --------------------------------------------

bool oldestKeptReport(ReportQueue& queue, KeptReport& report) {
    followQueuePath(queue);
    return findOldest(queue, report);
}

namespace {

// Moves the records from head on to the start of the file and cuts it after
// them, for a file whose waiting run does not pass its end. The moved records
// land only on done ones (head is at least the number moved), and they are on
// the disk before the file is cut, so a crash at any point loses nothing: at
// worst a report waits twice and is sent twice.
bool compactQueue(ReportQueue& queue) {
    const std::int64_t kept = queue.records - queue.head;
    RecordBlock block;
    for (std::int64_t moved = 0; moved < kept;) {
        const std::size_t count = readRecords(queue, queue.head + moved, block);
        if (count == 0) return false;
        const std::span<const char> bytes = std::span<const char>(block).first(count * queueRecordSize);
        if (!writeDataFile(queue.file, offsetOf(moved), bytes)) return false;
        moved += static_cast<std::int64_t>(count);
    }
    if (!syncDataFile(queue.file) || !truncateDataFile(queue.file, offsetOf(kept)) ||
        !syncDataFile(queue.file))
        return false;
    queue.tail -= queue.head;
    queue.records = kept;
    queue.head = 0;
    return true;
}

}  // namespace

// The mark goes into the file the report was read from; should that file
// have been deleted meanwhile, what still waits in it moves to the path next.
bool removeOldestKeptReport(ReportQueue& queue) {
    KeptReport oldest;
    if (queue.file == noDataFile || !findOldest(queue, oldest) || !markDone(queue, queue.head)) return false;
    ++queue.head;
    --queue.waiting;
    followQueuePath(queue);
    if (queue.waiting == 0) return emptyQueue(queue);
    const bool runPassesEnd = queue.tail <= queue.head;
    if (!runPassesEnd && queue.head >= queueCompactionMinimum && queue.head >= queue.records - queue.head)
        return compactQueue(queue);
    return true;
}

// ---- The newest time -----------------------------------------------------

bool newestKeptTime(ReportQueue& queue, FixTimeText& time) {
    bool found = false;
    RecordBlock block;
    for (std::int64_t first = 0; first < queue.records;) {
        const std::size_t count = readRecords(queue, first, block);
        if (count == 0) return false;
        for (std::size_t i = 0; i < count; ++i) {
            KeptReport report;
            if (decodeQueueRecord(recordIn(block, i), report) == RecordState::damaged) continue;
            // The text is fixed-width, so it sorts as the time does.
            if (!found || terminatedText(report.time) > terminatedText(time)) time = report.time;
            found = true;
        }
        first += static_cast<std::int64_t>(count);
    }
    return found;
}

// ---- The path -------------------------------------------------------------

bool resolveQueuePath(const char* setting, std::span<char, queuePathFullCapacity> path) {
    const std::string_view name(setting);
    if (name.empty()) return false;
    std::size_t folderLength = 0;  // the program's folder and its "/"
    if (!isAbsolutePath(name)) {
        const std::size_t length = executablePath(std::span<char>(path).first(executablePathCapacity));
        const std::string_view program(path.data(), length);
        const std::size_t separator = program.rfind('/');
        if (length == 0 || separator == std::string_view::npos) return false;
        folderLength = separator + 1;
    }
    if (folderLength + name.size() + 1 > path.size()) return false;
    std::copy(name.begin(), name.end(), path.begin() + static_cast<std::ptrdiff_t>(folderLength));
    path[folderLength + name.size()] = '\0';
    return true;
}
