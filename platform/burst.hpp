// Reading in bursts, for the serial port and the network stream alike: a
// receiver (or a server passing one on) sends its sentences once per fix, often
// a write per sentence. Once data has begun to arrive, the read waits until the
// line has been quiet for a tenth of a second, or the buffer would be full, so
// a burst comes in one or two reads instead of many small ones.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

constexpr auto burstGap = std::chrono::milliseconds(100);
constexpr int maxBurstGaps = 20;  // a line that never pauses is still read every two seconds

// The bytes received on handle (a descriptor, HANDLE or SOCKET) and not yet
// read; -1 when it cannot tell (the device or peer went away).
using BytesWaiting = std::int64_t (*)(std::intptr_t handle);

// Waits while more keeps arriving on handle, as above; returns at once when
// bytesWaiting cannot tell, so the read that follows meets the failure.
void awaitEndOfBurst(BytesWaiting bytesWaiting, std::intptr_t handle, std::size_t capacity);
