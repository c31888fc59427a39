// The front ends' events on Linux: the wake-up pipe, the closing signals
// through a signalfd, and one poll() over them, the terminal and the socket
// of forward requests.
#include "platform/events.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <initializer_list>

// ---- The wake-up pipe

static bool openWakePipe(FrontEndEvents& events) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    events.wakeReadFd = fds[0];
    events.wakeWriteFd = fds[1];
    return true;
}

void wakeFrontEnd(const FrontEndEvents& events) {
    const char byte = 'w';
    // EAGAIN means the pipe is full of wake-ups the reader has not seen yet.
    while (write(events.wakeWriteFd, &byte, 1) < 0 && errno == EINTR) {
    }
}

static void drainWakePipe(const FrontEndEvents& events) {
    char bytes[64];
    while (read(events.wakeReadFd, bytes, sizeof bytes) > 0) {
    }
}

// ---- Closing signals

static bool ignored(int signal) {
    struct sigaction current {};
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

static int openCloseSignals(bool terminal) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        if (!ignored(signal)) sigaddset(&set, signal);
    }
    if (terminal) {
        // Ctrl-\ closes the window like Ctrl-C, so the terminal is restored
        // rather than left in the window's modes by a core dump.
        if (!ignored(SIGQUIT)) sigaddset(&set, SIGQUIT);
        sigaddset(&set, SIGWINCH);
        if (!ignored(SIGTSTP)) sigaddset(&set, SIGTSTP);
    }
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

// Reads the signals that arrived since the last call into ready.
static void readPendingSignals(int fd, ReadyEvents& ready) {
    signalfd_siginfo info{};
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        switch (info.ssi_signo) {
            case SIGWINCH:
                ready.resize = true;
                break;
            case SIGTSTP:
                ready.suspend = true;
                break;
            default:
                ready.close = true;
                break;
        }
    }
}

bool openFrontEndEvents(FrontEndEvents& events, bool terminal) {
    events.signalFd = openCloseSignals(terminal);
    return events.signalFd >= 0 && openWakePipe(events);
}

// ---- Waiting

// poll without a time-out, a signal's interruption retried; false when it
// fails otherwise.
static bool pollRetried(std::span<pollfd> watched) {
    for (;;) {
        if (poll(watched.data(), watched.size(), -1) > 0) return true;
        if (errno != EINTR) return false;
    }
}

ReadyEvents waitForFrontEndEvents(const FrontEndEvents& events, const InstanceLock& instance,
                                  bool watchInput) {
    for (;;) {
        std::array<pollfd, 4> watched{{
            {events.signalFd, POLLIN, 0},
            {events.wakeReadFd, POLLIN, 0},
            {instance.listenFd, POLLIN, 0},  // ignored by poll when -1
            {watchInput ? STDIN_FILENO : -1, POLLIN, 0},
        }};
        if (!pollRetried(watched)) continue;
        ReadyEvents ready{false, false, false, false, false, false};
        if (watched[0].revents != 0) readPendingSignals(events.signalFd, ready);
        if (watched[1].revents != 0) {
            drainWakePipe(events);
            ready.woken = true;
        }
        ready.forward = watched[2].revents != 0;
        // The terminal hanging up closes the window even without SIGHUP.
        if ((watched[3].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) ready.close = true;
        ready.input = (watched[3].revents & POLLIN) != 0;
        return ready;
    }
}
