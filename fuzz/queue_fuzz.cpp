// Feeds arbitrary bytes to the queue file's record reader, as one 96-byte
// record (cut or padded with zeros): once as it is, and once with its line
// layout and checksum made right, so the fields behind the checksum are
// reached. Beyond the sanitizers, it checks that a record read as waiting or
// done is exactly what the writer makes of the report it gave.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "report/queue.hpp"

namespace {

constexpr std::uint32_t crc32(const char* bytes, std::size_t size) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        c ^= static_cast<unsigned char>(bytes[i]);
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xFFFFFFFFu;
}

void check(const QueueRecord& record) {
    KeptReport report{};
    const RecordState state = decodeQueueRecord(record, report);
    if (state == RecordState::damaged) return;
    QueueRecord again = encodeQueueRecord(report);
    again[0] = record[0];
    if (again != record) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QueueRecord record{};
    std::copy_n(reinterpret_cast<const char*>(data), std::min(size, record.size()), record.begin());
    check(record);
    record[1] = ' ';
    record[queueFieldsEnd] = ' ';
    record[queueRecordSize - 1] = '\n';
    const std::uint32_t checksum = crc32(record.data() + 2, queueFieldsEnd - 2);
    for (std::size_t i = 0; i < 8; ++i)
        record[queueFieldsEnd + 1 + i] = "0123456789abcdef"[(checksum >> (28 - 4 * i)) & 0xFu];
    check(record);
    return 0;
}
