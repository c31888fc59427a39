// Framing with "checksums = required": only sentences whose two digits are
// their checksum are handed on, whatever the chunks.
#include "gps/checksum.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

void collect(std::string_view sentence, void* context) {
    static_cast<std::vector<std::string>*>(context)->emplace_back(sentence);
}

// The stream framed in chunks of every size from 1 to its length.
std::vector<std::vector<std::string>> frameInEveryChunking(const std::string& stream) {
    std::vector<std::vector<std::string>> results;
    for (std::size_t size = 1; size <= std::max<std::size_t>(stream.size(), 1); ++size) {
        CheckedFramer framer;
        resetCheckedFramer(framer);
        std::vector<std::string> sentences;
        for (std::size_t at = 0; at < stream.size(); at += size) {
            const std::string chunk = stream.substr(at, size);
            frameCheckedChunk(framer, {chunk.data(), chunk.size()}, collect, &sentences);
        }
        results.push_back(sentences);
    }
    return results;
}

}  // namespace

TEST(ChecksumFraming, OnlySentencesWithTheirChecksumPass) {
    const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*";
    const std::string longest = "$" + std::string(253, 'a') + "*";  // 255 characters
    auto withSum = [](const std::string& text, bool lowerCase = false) {
        char digits[3];
        std::snprintf(digits, sizeof digits, lowerCase ? "%02x" : "%02X", nmeaChecksum(text));
        return text + digits;
    };
    struct Case {
        const char* name;
        std::string stream;
        std::vector<std::string> sentences;
    };
    const Case cases[] = {
        {"the example", gga + "47\r\n", {gga}},
        {"lower-case digits", withSum(gga, true) + "\r\n", {gga}},
        {"a wrong sum", gga + "48\r\n", {}},
        {"no digits", gga + "\r\n" + gga + "47", {gga}},
        {"one digit and a new sentence", gga + "4" + gga + "47", {gga}},
        {"a corrupted character", "$GPGGA,123519,4807.039,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47", {}},
        {"a zero byte inside", std::string("$GPGGA,1\0,*", 11) + "00", {}},
        {"text before the first $", "GA,1*47\r\n" + gga + "47", {gga}},
        {"255 characters pass", withSum(longest), {longest}},
        {"256 characters are dropped, the next passes",
         withSum("$" + std::string(254, 'a') + "*") + withSum(gga),
         {gga}},
        {"a $ restarts", "$GPGGA,12$" + withSum("GPRMC,1*"), {"$GPRMC,1*"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& sentences : frameInEveryChunking(c.stream)) EXPECT_EQ(sentences, c.sentences);
    }
}
