// Framing of sentences out of a byte stream read in chunks.
#include "gps/framing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// Checks what must hold between chunks whatever the input: the carried text
// fits the buffer, starts with "$", holds no "*" and is terminated.
void expectFramerSound(const SentenceFramer& framer) {
    ASSERT_LE(framer.carriedLength, sentenceCapacity - 1);
    EXPECT_FALSE(framer.inSentence);
    if (framer.carriedLength == 0) return;
    const std::string_view carried(framer.sentenceBuffer.data(), framer.carriedLength);
    EXPECT_EQ(carried.front(), '$');
    EXPECT_EQ(carried.find('*'), std::string_view::npos);
    EXPECT_EQ(framer.sentenceBuffer[framer.carriedLength], '\0');
}

struct Collector {
    const SentenceFramer* framer;
    std::vector<std::string> sentences;
};

// Every sentence lies in the framer's buffer, ends in "*" and is terminated.
void collect(std::string_view sentence, void* context) {
    auto& collector = *static_cast<Collector*>(context);
    EXPECT_EQ(sentence.data(), collector.framer->sentenceBuffer.data());
    EXPECT_LE(sentence.size(), sentenceCapacity - 1);
    EXPECT_EQ(sentence.back(), '*');
    EXPECT_EQ(sentence.data()[sentence.size()], '\0');
    collector.sentences.emplace_back(sentence);
}

std::vector<std::string> frameChunks(SentenceFramer& framer, const std::vector<std::string>& chunks) {
    Collector collector{&framer, {}};
    for (const std::string& chunk : chunks) {
        frameChunk(framer, chunk, collect, &collector);
        expectFramerSound(framer);
    }
    return collector.sentences;
}

std::vector<std::string> frameStream(std::string_view stream, std::size_t chunkSize) {
    SentenceFramer framer;
    resetFramer(framer);
    Collector collector{&framer, {}};
    for (std::size_t at = 0; at < stream.size(); at += chunkSize) {
        frameChunk(framer, stream.substr(at, chunkSize), collect, &collector);
        expectFramerSound(framer);
    }
    return collector.sentences;
}

using Sentences = std::vector<std::string>;

TEST(Framing, FollowsTheStateTable) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        Sentences sentences;
    };
    const Case cases[] = {
        {"two sentences with checksums and line ends",
         {"$GPGGA,1*47\r\n$GPRMC,2*4A\r\n"},
         {"$GPGGA,1*", "$GPRMC,2*"}},
        {"sentence cut between chunks", {"\r\n$GPGGA,12", "3519,N*47\r\n"}, {"$GPGGA,123519,N*"}},
        {"short reads are joined", {"$GP", "GGA,", "12", "", "3*00"}, {"$GPGGA,123*"}},
        {"first chunk begins inside a sentence",
         {"4,W,225444,A*7C\r\n$GPGLL,1*00"},
         {"4,W,225444,A*", "$GPGLL,1*"}},
        {"dollar restarts an unfinished sentence", {"$GPGGA,12$GPRMC,3*00"}, {"$GPRMC,3*"}},
        {"dollar in the next chunk drops the carried text", {"$GPGGA,12", "34$GPRMC,5*"}, {"$GPRMC,5*"}},
        {"second star dispatches from the chunk start",
         {"$GPGGA,1*47\r\n*"},
         {"$GPGGA,1*", "$GPGGA,1*47\r\n*"}},
        {"zero byte inside a sentence drops it, not what follows",
         {"\0$GPGGA,12\0$GPRMC,9*\0"s, "34*$GPVTG,1\0*"s},
         {"$GPRMC,9*"}},
        {"zero byte drops the carried text", {"$GPGGA,12"s, "3\0"s, "4*$GPRMC,1*"}, {"$GPRMC,1*"}},
        {"zero byte before a star with nothing carried", {"ab\0c*$GPRMC,1*"s}, {"$GPRMC,1*"}},
        {"a later star takes no text before a zero",
         {"ab*\0$GPRMC,1*x*"s},
         {"ab*", "$GPRMC,1*", "$GPRMC,1*x*"}},
        {"wrong checksum is dispatched", {"$GPRMC,1*FF\r\n"}, {"$GPRMC,1*"}},
        {"star with nothing carried", {"abc*", "def*"}, {"abc*", "def*"}},
        {"over-long idle text is dropped up to the next dollar",
         {std::string(300, 'x') + "*y*$GPGGA,1*"},
         {"$GPGGA,1*"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SentenceFramer framer;
        resetFramer(framer);
        EXPECT_EQ(frameChunks(framer, c.chunks), c.sentences);
    }
}

TEST(Framing, FullChunkEndingInDollarCarriesOneCharacter) {
    SentenceFramer framer;
    resetFramer(framer);
    const std::string chunk = std::string(chunkCapacity - 1, 'x') + "$";
    EXPECT_TRUE(frameChunks(framer, {chunk}).empty());
    EXPECT_EQ(framer.carriedLength, 1u);
    EXPECT_EQ(frameChunks(framer, {"GPGGA,1*"}), Sentences{"$GPGGA,1*"});
}

TEST(Framing, StarAtTheLastPositionCompletesWithinTheChunk) {
    SentenceFramer framer;
    resetFramer(framer);
    std::string chunk = std::string(400, 'x') + "$GPGGA,";
    const std::string sentence = chunk.substr(400) + std::string(chunkCapacity - 1 - chunk.size(), '9') + "*";
    chunk += sentence.substr(7);
    ASSERT_EQ(chunk.size(), chunkCapacity);
    EXPECT_EQ(frameChunks(framer, {chunk}), Sentences{sentence});
    EXPECT_EQ(framer.carriedLength, 0u);
}

// The bundled receiver logs hold one sentence per line; sentences framed per
// line are what any chunking of the stream must give.
std::string readReceiverLogs() {
    std::vector<std::filesystem::path> logs;
    for (const auto& entry : std::filesystem::directory_iterator(WAYLOOM_TEST_DATA "/nmea")) {
        if (entry.path().extension() == ".log") logs.push_back(entry.path());
    }
    std::sort(logs.begin(), logs.end());
    std::string stream;
    for (const auto& path : logs) {
        std::ifstream file(path, std::ios::binary);
        stream.append(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    return stream;
}

Sentences sentencesByLine(std::string_view stream) {
    Sentences sentences;
    for (std::size_t at = 0; at < stream.size();) {
        std::size_t end = stream.find('\n', at);
        if (end == std::string_view::npos) end = stream.size();
        const std::string_view line = stream.substr(at, end - at);
        const std::size_t star = line.find('*');
        const std::size_t dollar = star == std::string_view::npos ? star : line.rfind('$', star);
        if (dollar != std::string_view::npos) sentences.emplace_back(line.substr(dollar, star - dollar + 1));
        at = end + 1;
    }
    return sentences;
}

// The logs with a zero byte before every line and, every seventh line, a
// sentence with a zero byte inside it, which must be dropped whole.
std::string withZeroBytes(std::string_view stream) {
    std::string zeroed;
    std::size_t lines = 0;
    for (std::size_t at = 0; at < stream.size(); ++lines) {
        const std::size_t end = std::min(stream.find('\n', at), stream.size() - 1);
        zeroed += '\0';
        zeroed += stream.substr(at, end + 1 - at);
        if (lines % 7 == 0)
            zeroed +=
                "$GPRMC,1,A,1,N,1,E,0\0"
                "01.0,1,1,1,W*00\r\n"s;
        at = end + 1;
    }
    return zeroed;
}

TEST(Framing, EveryChunkSizeGivesTheSameSentences) {
    const std::string stream = readReceiverLogs();
    ASSERT_GT(stream.size(), 100'000u) << "receiver logs missing under " WAYLOOM_TEST_DATA;
    const Sentences expected = sentencesByLine(stream);
    for (const std::string& input : {stream, withZeroBytes(stream)}) {
        for (std::size_t chunkSize = 1; chunkSize <= chunkCapacity; ++chunkSize) {
            SCOPED_TRACE("chunk size " + std::to_string(chunkSize) +
                         (input == stream ? "" : " with zero bytes"));
            const Sentences framed = frameStream(input, chunkSize);
            ASSERT_EQ(framed.size(), expected.size());
            ASSERT_TRUE(framed == expected);
        }
    }
}

// Text longer than 255 characters is never written past the buffer: the
// sentence is dropped, and so is everything up to the next "$", at every
// chunk size. The longest sentence that fits is still dispatched.
TEST(Framing, OverLongSentencesAreDroppedAtEveryChunkSize) {
    const std::string longest = "$GPGGA," + std::string(sentenceCapacity - 1 - 8, '1') + "*";
    const std::string tooLong = "$PXYZ," + std::string(sentenceCapacity - 1 - 6, '2') + "*";
    const std::string wayTooLong = "$PXYZ," + std::string(700, '3');
    ASSERT_EQ(longest.size(), sentenceCapacity - 1);
    const std::string stream =
        longest + "00\r\n" + tooLong + "00\r\nxx*\r\n" + wayTooLong + "*yy*\r\n$GPRMC,1*";
    for (std::size_t chunkSize = 1; chunkSize <= chunkCapacity; ++chunkSize) {
        SCOPED_TRACE("chunk size " + std::to_string(chunkSize));
        ASSERT_EQ(frameStream(stream, chunkSize), (Sentences{longest, "$GPRMC,1*"}));
    }
}

}  // namespace
