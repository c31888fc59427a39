// What wakes a front end's thread: other threads that changed the window
// model, the requests that close, resize or suspend the window, a second start
// asking this copy to come forward, and the terminal's input.
//
// On Linux a pipe carries the wake-ups and the closing signals are read
// through a signalfd instead of handlers; one poll() waits for all of them.
// On Windows an event object carries the wake-ups and the console's Ctrl-C,
// Ctrl-Break, close, log-off and shut-down events close the window.
#pragma once

#include "platform/instance.hpp"

struct FrontEndEvents {
#ifdef _WIN32
    void* wakeEvent;  // HANDLE of an auto-reset event
#else
    // A pipe whose reading end becomes readable when another thread wants the
    // front end's thread to look at the window model again. Both ends are
    // non-blocking, so waking never blocks, and a full pipe is a wake-up
    // already pending.
    int wakeReadFd;
    int wakeWriteFd;
    int signalFd;  // the closing signals, or -1
#endif
};

// Opens the wake-up and the closing requests. On Linux: blocks SIGTERM,
// SIGINT and SIGHUP (each unless it is ignored, as nohup does) and, for a
// terminal, SIGQUIT, SIGWINCH and SIGTSTP, and reads them through a
// descriptor. Called before any other thread exists, so every later thread
// inherits the blocked set and only the front end's thread sees these signals,
// while no handler ever runs. False on failure.
bool openFrontEndEvents(FrontEndEvents& events, bool terminal);

// Wakes the front end's thread; async-signal-safe and lock-free.
void wakeFrontEnd(const FrontEndEvents& events);

struct ReadyEvents {
    bool close;  // SIGTERM, SIGINT, SIGHUP (SIGQUIT in a terminal), the console closing, or the terminal hung
                 // up
    bool resize;   // SIGWINCH
    bool suspend;  // SIGTSTP: Ctrl-Z
    bool woken;    // wakeFrontEnd was called (the wake-ups are taken)
    bool forward;  // a second start waits to be taken (takeForwardRequests)
    bool input;    // standard input has something to read
};

// Waits until at least one thing is ready (the terminal's input only when
// watchInput) and says what.
ReadyEvents waitForFrontEndEvents(const FrontEndEvents& events, const InstanceLock& instance,
                                  bool watchInput);

#ifdef _WIN32
// Asks the front end to close as Ctrl-C does (the service being stopped); safe
// from any thread, also before the events are opened.
void requestFrontEndClose();
#endif
