// The wake-up pipe and the closing signals of the front ends.
#include "platform/events.hpp"

#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <initializer_list>

// ---- The wake-up pipe

bool openWakePipe(WakePipe& wake) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    wake = WakePipe{fds[0], fds[1]};
    return true;
}

void wakeFrontEnd(const WakePipe& wake) {
    const char byte = 'w';
    // EAGAIN means the pipe is full of wake-ups the reader has not seen yet.
    while (write(wake.writeFd, &byte, 1) < 0 && errno == EINTR) {
    }
}

void drainWakePipe(const WakePipe& wake) {
    char bytes[64];
    while (read(wake.readFd, bytes, sizeof bytes) > 0) {
    }
}

// ---- Closing signals

static bool ignored(int signal) {
    struct sigaction current {};
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

int openCloseSignals(bool terminal) {
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

PendingSignals readPendingSignals(int fd) {
    PendingSignals pending{false, false, false};
    signalfd_siginfo info{};
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        switch (info.ssi_signo) {
            case SIGWINCH:
                pending.resize = true;
                break;
            case SIGTSTP:
                pending.suspend = true;
                break;
            default:
                pending.close = true;
                break;
        }
    }
    return pending;
}
