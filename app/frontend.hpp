// The program's two front ends.
#pragma once

#include "platform/instance.hpp"
#include "platform/output.hpp"

// The main window (full screen in the terminal on Linux, a dialog on
// Windows); returns the dialog's result (0, or -1 when the window cannot be
// shown).
int runWindowFrontEnd(InstanceLock& instance);

// Without a window: the status log goes to standard output line by line and
// "Start" is chosen at once. Returns 0 when a signal ends it, 1 when the
// report cycle has ended (the GPS port could not be opened). With log (a
// service), the status lines and the diagnostic lines go there instead.
int runHeadlessFrontEnd(InstanceLock& instance, OutputWrite log = nullptr);
