#pragma once

#include "setup/options.h"

struct RunLog;

// The removal mode ("--uninstall" as the first argument): removes the two
// shortcuts when they are the installation's, the install root and the
// uninstall entry, and nothing else. Started from the copy inside the
// install root (as Settings -> Apps and the quiet uninstall command start
// it), it moves its own file to %TEMP%\zept-removal.exe (back again when
// the root stays) and removes the root itself, so that its exit code is
// the removal's. Where Windows refuses that move, it hands over to a copy
// in the temporary folder, which waits for it to end (options->after) and
// writes into the same log. Prints its own banner and messages (also into
// log), ends with the closing pause unless quiet; returns the exit code (0
// as soon as the copy has started, for a process that hands over).
int run_removal(const SetupOptions *options, RunLog *log);

// Deletes the temporary copy that an earlier removal ran from (a running
// program cannot delete its own file). Quiet; a copy in use stays.
void forget_removal_copy(void);
