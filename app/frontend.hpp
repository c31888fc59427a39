// The program's two front ends.
#pragma once

#include "platform/instance.hpp"

// The main window (full screen in the terminal on Linux, a dialog on
// Windows); returns the dialog's result (0, or -1 when the window cannot be
// shown).
int runWindowFrontEnd(InstanceLock& instance);

// Without a window: the status log goes to standard output line by line and
// "Start" is chosen at once. Returns 0 when a signal ends it, 1 when the
// report cycle has ended (the GPS port could not be opened).
int runHeadlessFrontEnd(InstanceLock& instance);
