#pragma once

#include <windows.h>

// One run at a time for the user: the mutex name (for example
// L"Local\\Product-Setup", in the session's own namespace), held until
// release_setup_lock or the end of the process (a killed run's lock is
// released by Windows).
// 1: this run holds the lock, *lock receives it (NULL when no mutex could
// be made: the run goes on unguarded). 0: another run holds it; *lock NULL.
int take_setup_lock(const wchar_t *name, HANDLE *lock);

// Releases and closes a lock taken with take_setup_lock (NULL: nothing).
void release_setup_lock(HANDLE lock);
