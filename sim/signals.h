// Ctrl-C and SIGTERM stop quelline-sim promptly: the command that runs
// finishes (a wait is cut short), no further command runs, the program
// cleans up (its temporary device root included) and exits 128 + the
// signal's number: 130 for SIGINT, 143 for SIGTERM.
#pragma once

namespace quelline::sim {

// Installs the handlers for SIGINT and SIGTERM, without SA_RESTART, so that
// a blocking read or poll returns at once.
void installStopHandlers();

// The signal that asked to stop, or 0.
int stopSignal();

// The exit status for the signal that asked to stop (128 + its number).
int stopStatus();

} // namespace quelline::sim
