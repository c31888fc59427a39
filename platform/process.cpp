// The process on Linux: signals, standard output, the terminal's size.
#include "platform/process.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

FrontEndKind startProcess(int, char**) {
    // A report server or a reader of standard output that goes away must give
    // a failed write, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    const bool terminal = isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0;
    return terminal ? FrontEndKind::window : FrontEndKind::headless;
}

long writeDescriptor(int fd, std::span<const char> bytes, int& error) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    while (written < 0 && errno == EINTR) written = ::write(fd, bytes.data(), bytes.size());
    error = written < 0 ? errno : 0;
    return static_cast<long>(written);
}

void waitForRoomOn(int fd, int waitMilliseconds) {
    pollfd room{fd, POLLOUT, 0};
    ::poll(&room, 1, waitMilliseconds);
}

bool writeStandardOutput(std::span<const char> bytes) {
    const char* next = bytes.data();
    std::size_t length = bytes.size();
    while (length > 0) {
        const ssize_t written = write(STDOUT_FILENO, next, length);
        if (written <= 0) return false;
        next += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

void endProcess(int code) {
    _exit(code);
}

void stopProcess() {
    kill(getpid(), SIGSTOP);
}

bool terminalSize(int& rows, int& columns) {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) return false;
    rows = size.ws_row;
    columns = size.ws_col;
    return true;
}
