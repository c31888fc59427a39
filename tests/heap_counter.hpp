// Counts heap allocations: every form of the global operator new of the test
// program that includes this header is replaced by one that counts its calls.
// Include it in exactly one source file of a test program.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace heapcounter {

inline std::atomic<long> allocations{0};

inline void* allocate(std::size_t size, std::size_t alignment) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) size = 1;
    void* memory = nullptr;
#ifdef _WIN32
    // Windows has no posix_memalign, and its aligned blocks have their own free.
    memory = alignment == 0 ? std::malloc(size) : _aligned_malloc(size, alignment);
#else
    if (alignment <= alignof(std::max_align_t)) {
        memory = std::malloc(size);
    } else if (posix_memalign(&memory, alignment, size) != 0) {
        memory = nullptr;
    }
#endif
    return memory;
}

inline void* allocateOrThrow(std::size_t size, std::size_t alignment) {
    void* memory = allocate(size, alignment);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

// Out of line: GCC otherwise sees free() meet a pointer from operator new
// inside an inlined delete and warns about a mismatch that is not one here.
[[gnu::noinline]] inline void release(void* memory) noexcept {
    std::free(memory);
}

// For the blocks of the aligned forms of new.
[[gnu::noinline]] inline void releaseAligned(void* memory) noexcept {
#ifdef _WIN32
    _aligned_free(memory);
#else
    std::free(memory);
#endif
}

}  // namespace heapcounter

// The number of allocations so far, by any thread.
inline long heapAllocations() {
    return heapcounter::allocations.load();
}

void* operator new(std::size_t size) {
    return heapcounter::allocateOrThrow(size, 0);
}
void* operator new[](std::size_t size) {
    return heapcounter::allocateOrThrow(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return heapcounter::allocateOrThrow(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return heapcounter::allocateOrThrow(size, static_cast<std::size_t>(a));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return heapcounter::allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return heapcounter::allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return heapcounter::allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return heapcounter::allocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    heapcounter::release(p);
}
void operator delete[](void* p) noexcept {
    heapcounter::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    heapcounter::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    heapcounter::release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    heapcounter::releaseAligned(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    heapcounter::releaseAligned(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    heapcounter::releaseAligned(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    heapcounter::releaseAligned(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    heapcounter::release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    heapcounter::release(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    heapcounter::releaseAligned(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    heapcounter::releaseAligned(p);
}
