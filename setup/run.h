#pragma once

#include <windows.h>

#include "setup/options.h"

struct RunLog;

// The opening and the closing that every mode's run shares (the install,
// the offline copy, the removal).

// The window's title (unless quiet: there may be no window of its own) and
// the mode's banner (printed and logged).
void open_run(const SetupOptions *options, const wchar_t *title, const char *banner, RunLog *log);

// Takes the lock that lets one setup or removal at a time work on the
// user's files. 1 with *lock held; 0 after printing the message, with
// *exit_code ERROR_INSTALL_ALREADY_RUNNING (what endpoint tools retry).
int take_run_lock(HANDLE *lock, RunLog *log, int *exit_code);

// Releases the lock (NULL: none was taken), so that a window left open for
// reading blocks no other run, then the closing pause unless quiet.
void close_run(const SetupOptions *options, HANDLE lock);
