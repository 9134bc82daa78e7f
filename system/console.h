#pragma once

// Closing prompt of every setup run: discards keys typed into a console
// before it (never input from a file or pipe), prints "\nPress Enter to
// close this window.\n", flushes standard output so the prompt is visible
// even when it is redirected, then reads one character. Returns that
// character or EOF; with standard input at end of file it returns at once.
int pause_at_end(void);
