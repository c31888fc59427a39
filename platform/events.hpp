// What wakes a front end's thread: a pipe that other threads write to when
// the window model changes, and the signals that close or resize the window,
// read through a descriptor instead of handlers.
#pragma once

// A pipe whose reading end becomes readable when another thread wants the
// front end's thread to look at the window model again. Both ends are
// non-blocking, so waking never blocks, and a full pipe is a wake-up already
// pending.
struct WakePipe {
    int readFd;
    int writeFd;
};

bool openWakePipe(WakePipe& pipe);
void wakeFrontEnd(const WakePipe& pipe);  // async-signal-safe, lock-free
void drainWakePipe(const WakePipe& pipe);

// Blocks SIGTERM, SIGINT and SIGHUP (each unless it is ignored, as nohup
// does) and, for a terminal, SIGQUIT, SIGWINCH and SIGTSTP, and returns a descriptor
// that reads them; -1 on failure. Called before any other thread exists, so
// every later thread inherits the blocked set and only the front end's thread
// sees these signals, through the descriptor, while no handler ever runs.
int openCloseSignals(bool terminal);

struct PendingSignals {
    bool close;    // SIGTERM, SIGINT, SIGHUP (or SIGQUIT in a terminal): the window is being closed
    bool resize;   // SIGWINCH
    bool suspend;  // SIGTSTP: Ctrl-Z
};

// Reads the signals that arrived since the last call.
PendingSignals readPendingSignals(int fd);
