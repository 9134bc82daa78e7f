#pragma once

// The removal mode ("--uninstall" as the first argument): removes the two
// shortcuts when they are the installation's, the install root and the
// uninstall entry, and nothing else. Started from the copy inside the
// install root (as Settings -> Apps starts it), it hands over to a copy in
// the user's temporary folder, which waits for it to end. Prints its own
// banner and messages, ends with the closing pause; returns the exit code.
int run_removal(int argc, char **argv);

// Deletes the temporary copy that an earlier removal ran from (a running
// program cannot delete its own file). Quiet; a copy in use stays.
void forget_removal_copy(void);
