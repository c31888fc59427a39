// The report cycle: the program's working loop after "Start".
#pragma once

// Opens the GPS input, waits 30 seconds, then for ever reports the position
// (or says there is no usable fix) once per report interval. Returns only when
// the GPS port cannot be opened.
int runReportCycle();
