// The program's two front ends and what they share: the wake-up pipe that the
// window model's listener writes to, and the signals that close the window.
#pragma once

#include "platform/instance.hpp"

// The full-screen terminal window; returns the dialog's result (0, or -1 when
// the terminal cannot be used).
int runTerminalFrontEnd(InstanceLock& instance);

// Without a terminal: the status log goes to standard output line by line and
// "Start" is chosen at once. Returns 0 when a signal ends it, 1 when the
// report cycle has ended (the GPS port could not be opened).
int runHeadlessFrontEnd(InstanceLock& instance);

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
// does) and, for a terminal, SIGWINCH and SIGTSTP, and returns a descriptor
// that reads them; -1 on failure. Called before any other thread exists, so
// every later thread inherits the blocked set and only the front end's thread
// sees these signals, through the descriptor, while no handler ever runs.
int openCloseSignals(bool terminal);

struct PendingSignals {
    bool close;    // SIGTERM, SIGINT or SIGHUP: the window is being closed
    bool resize;   // SIGWINCH
    bool suspend;  // SIGTSTP: Ctrl-Z
};

// Reads the signals that arrived since the last call.
PendingSignals readPendingSignals(int fd);
