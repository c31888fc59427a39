// Framing and decoding allocate nothing on the heap: any allocation made while
// a large corpus is framed and dispatched shows up in the heap counter.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "gps/framing.hpp"
#include "gps/nmea.hpp"
#include "heap_counter.hpp"

namespace {

std::string readCorpus() {
    std::string corpus;
    for (const auto& entry : std::filesystem::directory_iterator(WAYLOOM_TEST_DATA "/nmea")) {
        if (entry.path().extension() != ".log") continue;
        std::ifstream file(entry.path(), std::ios::binary);
        corpus.append(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    std::ifstream sample(WAYLOOM_TEST_DATA "/sample.nmea", std::ios::binary);
    corpus.append(std::istreambuf_iterator<char>(sample), std::istreambuf_iterator<char>());
    return corpus;
}

void dispatchAndCount(std::string_view sentence, void* count) {
    dispatchSentence(sentence);
    ++*static_cast<long*>(count);
}

TEST(NmeaAllocations, FramingDecodingAndFixesAllocateNothing) {
    const std::string corpus = readCorpus();
    ASSERT_GT(corpus.size(), 100'000u);
    static SentenceFramer framer;
    long sentences = 0;
    double sum = 0;

    const long before = heapAllocations();
    for (std::size_t chunkSize : {1u, 7u, 82u, 512u}) {
        resetFramer(framer);
        for (std::size_t at = 0; at < corpus.size(); at += chunkSize) {
            frameChunk(framer, std::string_view(corpus).substr(at, chunkSize), dispatchAndCount, &sentences);
            double latitude = 0, longitude = 0, speed = 0;
            int valid = 0;
            takePositionFix(&latitude, &longitude, &speed, &valid);
            sum += latitude + longitude + speed + valid;
        }
    }
    const long counted = heapAllocations() - before;

    EXPECT_EQ(counted, 0) << "allocations while framing and decoding " << sentences << " sentences";
    EXPECT_GT(sentences, 4 * 5000);
    EXPECT_GT(sum, 0.0);
    const auto probe = std::make_unique<int>(1);  // the counter itself works
    EXPECT_EQ(heapAllocations() - before, counted + 1);
}

}  // namespace
