// The one burst wait of both systems' serial ports and network streams.
#include "platform/burst.hpp"

#include <thread>

void awaitEndOfBurst(BytesWaiting bytesWaiting, std::intptr_t handle, std::size_t capacity) {
    std::int64_t waiting = bytesWaiting(handle);
    for (int gaps = 0; waiting >= 0 && static_cast<std::size_t>(waiting) < capacity && gaps < maxBurstGaps;
         ++gaps) {
        std::this_thread::sleep_for(burstGap);
        const std::int64_t now = bytesWaiting(handle);
        if (now == waiting) return;
        waiting = now;
    }
}
