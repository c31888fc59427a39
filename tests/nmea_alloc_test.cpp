// Framing and decoding allocate nothing on the heap. Every global operator new
// of this test program is replaced by one that counts, so any allocation made
// while a large corpus is framed and dispatched shows up.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>

#include "gps/framing.hpp"
#include "gps/nmea.hpp"

namespace {
std::atomic<long> allocations{0};

void* allocate(std::size_t size, std::size_t alignment) {
    ++allocations;
    if (size == 0) size = 1;
    void* memory = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        memory = std::malloc(size);
    } else if (posix_memalign(&memory, alignment, size) != 0) {
        memory = nullptr;
    }
    return memory;
}

// Kept out of line: GCC otherwise sees free() meet a pointer from operator new
// inside an inlined delete and warns about a mismatch that is not one here.
[[gnu::noinline]] void release(void* memory) noexcept {
    std::free(memory);
}

void* allocateOrThrow(std::size_t size, std::size_t alignment) {
    void* memory = allocate(size, alignment);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
}  // namespace

void* operator new(std::size_t size) {
    return allocateOrThrow(size, 0);
}
void* operator new[](std::size_t size) {
    return allocateOrThrow(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return allocateOrThrow(size, std::size_t(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return allocateOrThrow(size, std::size_t(a));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(size, std::size_t(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(size, std::size_t(a));
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    release(p);
}

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

    const long before = allocations.load();
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
    const long counted = allocations.load() - before;

    EXPECT_EQ(counted, 0) << "allocations while framing and decoding " << sentences << " sentences";
    EXPECT_GT(sentences, 4 * 5000);
    EXPECT_GT(sum, 0.0);
    const auto probe = std::make_unique<int>(1);  // the counter itself works
    EXPECT_EQ(allocations.load() - before, counted + 1);
}

}  // namespace
