#pragma once

// The product's own names and words that the routines below the driver are
// given: fetch/ and system/ know nothing of the course.

// One setup or removal at a time for the user, in the session's namespace.
#define SETUP_LOCK_NAME      L"Local\\ZEPT-Tarnwick-Setup"
// The shortcuts' file name (desktop and Start menu) and their tooltip.
#define SHORTCUT_FILE        L"Tarnwick.lnk"
#define SHORTCUT_DESCRIPTION L"Tarnwick - Olvenmark"
// What the setup calls itself on the wire.
#define USER_AGENT           L"ZEPT-Setup/0.1"
// The last words of every run in a window, before it closes.
#define CLOSING_PROMPT       "\nPress Enter to close this window.\n"
