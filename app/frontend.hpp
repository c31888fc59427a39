// The program's two front ends.
#pragma once

#include "platform/events.hpp"
#include "platform/instance.hpp"

// The full-screen terminal window; returns the dialog's result (0, or -1 when
// the terminal cannot be used).
int runTerminalFrontEnd(InstanceLock& instance);

// Without a terminal: the status log goes to standard output line by line and
// "Start" is chosen at once. Returns 0 when a signal ends it, 1 when the
// report cycle has ended (the GPS port could not be opened).
int runHeadlessFrontEnd(InstanceLock& instance);
