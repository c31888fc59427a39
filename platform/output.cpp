// The queue of output lines and its writer thread.
//
// The queue is a ring of bytes holding whole lines. Adding a line takes the
// lock only to copy the line in; the writer copies nothing out: it writes the
// oldest bytes straight from the ring with the lock released, since adders
// only ever fill the free part. The writer's write may block on a stalled
// output; nothing else ever waits for it, and the process's end does not
// either (drainOutput waits a bounded time).
#include "platform/output.hpp"

#include "platform/process.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr std::size_t noticeCapacity = 64;  // the dropped-lines line with a 20-digit count
constexpr int roomWaitMilliseconds = 1000;

struct OutputQueue {
    std::mutex lock;
    std::condition_variable changed;  // bytes were added, or written
    std::array<char, outputQueueCapacity> ring;
    std::size_t head;          // oldest byte not yet written
    std::size_t length;        // bytes queued
    std::size_t droppedLines;  // dropped since the last notice
    int fd;
    OutputWrite write;  // instead of fd when set
};

// Never destroyed: the writer may still wait on it while the process ends,
// and destroying a condition variable that a thread waits on hangs the exit.
union LastingQueues {
    std::array<OutputQueue, 2> queues;  // by OutputStream
    LastingQueues() : queues() {}
    ~LastingQueues() {}
};
LastingQueues lasting;

OutputQueue& queueOf(OutputStream stream) {
    return lasting.queues[static_cast<std::size_t>(stream)];
}

// Copies bytes in behind the queued ones; the caller has checked the room.
void pushBytes(OutputQueue& output, std::span<const char> bytes) {
    for (const char byte : bytes) {
        output.ring[(output.head + output.length) % output.ring.size()] = byte;
        ++output.length;
    }
}

// The notice for the lines dropped so far, queued when it fits together with
// room more bytes; the count starts again.
void pushNotice(OutputQueue& output, std::size_t room) {
    std::array<char, noticeCapacity> notice;
    const int length =
        std::snprintf(notice.data(), notice.size(), "(%zu line%s dropped: the output was blocked)\n",
                      output.droppedLines, output.droppedLines == 1 ? "" : "s");
    const auto size = static_cast<std::size_t>(std::max(length, 0));
    if (output.ring.size() - output.length < size + room) return;
    pushBytes(output, std::span<const char>(notice.data(), size));
    output.droppedLines = 0;
}

// write() of the oldest queued bytes, at most up to the ring's end. An output
// that is gone (closed pipe, bad descriptor) drops what is queued.
void writeOldest(OutputQueue& output, std::unique_lock<std::mutex>& held) {
    const std::size_t size = std::min(output.length, output.ring.size() - output.head);
    const char* bytes = output.ring.data() + output.head;
    held.unlock();
    int error = 0;
    const std::span<const char> oldest(bytes, size);
    const long written =
        output.write != nullptr ? output.write(oldest, error) : writeDescriptor(output.fd, oldest, error);
    held.lock();
    if (written > 0) {
        output.head = (output.head + static_cast<std::size_t>(written)) % output.ring.size();
        output.length -= static_cast<std::size_t>(written);
    } else if (written < 0 && error == EAGAIN) {
        // Someone made the output non-blocking: wait for room instead of spinning.
        held.unlock();
        waitForRoomOn(output.fd, roomWaitMilliseconds);
        held.lock();
    } else if (written < 0) {
        output.length = 0;  // no reader any more: what is queued is lost, the program goes on
    }
    // The output moves again: say what was lost where it was lost.
    if (output.length == 0 && output.droppedLines > 0) pushNotice(output, 0);
    output.changed.notify_all();
}

void runOutputWriter(OutputQueue& output) {
    std::unique_lock held(output.lock);
    for (;;) {
        output.changed.wait(held, [&] { return output.length > 0; });
        writeOldest(output, held);
    }
}

bool startWriterThread(OutputQueue& output) {
    // std::thread tells of a thread it could not create only by throwing.
    try {
        std::thread(runOutputWriter, std::ref(output)).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

}  // namespace

bool startOutputWriter(OutputStream stream, int fd) {
    OutputQueue& output = queueOf(stream);
    {
        const std::lock_guard held(output.lock);
        output.fd = fd;
        output.write = nullptr;
    }
    return startWriterThread(output);
}

bool startOutputWriterWith(OutputStream stream, OutputWrite write) {
    OutputQueue& output = queueOf(stream);
    {
        const std::lock_guard held(output.lock);
        output.fd = -1;
        output.write = write;
    }
    return startWriterThread(output);
}

void queueOutputLine(OutputStream stream, std::span<const char> line) {
    OutputQueue& output = queueOf(stream);
    const std::lock_guard held(output.lock);
    if (output.droppedLines > 0) pushNotice(output, line.size());
    if (output.droppedLines > 0 || output.ring.size() - output.length < line.size()) {
        ++output.droppedLines;
        return;
    }
    pushBytes(output, line);
    output.changed.notify_all();
}

bool drainOutput(int waitMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMilliseconds);
    bool drained = true;
    for (OutputQueue& output : lasting.queues) {
        std::unique_lock held(output.lock);
        drained = output.changed.wait_until(held, deadline, [&] { return output.length == 0; }) && drained;
    }
    return drained;
}
