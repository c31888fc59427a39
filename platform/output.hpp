// Lines for an output that may stall: a full pipe, a stuck journal, a terminal
// stopped with Ctrl-S. Lines go into a bounded queue that a thread of its own
// writes out, so a thread that adds a line never waits for the reader. When
// the queue is full a line is dropped; once the output moves again, one line
// says how many were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr std::size_t outputQueueCapacity = 8192;  // about an hour of a stalled log at one report a minute

// Each stream has a queue and a writer of its own.
enum class OutputStream : std::uint8_t { standardOutput, standardError };

// A writer's own output instead of a descriptor (a service's log file): as
// writeDescriptor, the bytes taken or -1 with error set.
using OutputWrite = long (*)(std::span<const char> bytes, int& error);

// Starts the stream's writer thread on fd. Called once per stream, after the
// closing signals are blocked, so that the writer never receives them.
// False when the thread cannot be started.
bool startOutputWriter(OutputStream stream, int fd);

// The same, writing through write instead of to a descriptor.
bool startOutputWriterWith(OutputStream stream, OutputWrite write);

// Queues line (its line end included) whole, or drops it whole when the queue
// has no room. Never waits for the output; safe from any thread.
void queueOutputLine(OutputStream stream, std::span<const char> line);

// Waits at most waitMilliseconds for the queued lines of both streams to be written; true
// when nothing is left. For the program's end, which must not wait long.
bool drainOutput(int waitMilliseconds);
