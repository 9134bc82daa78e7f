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
// The run's log in %TEMP%: "Tarnwick setup 2026-12-10 09.41.07.log", of
// which the newest LOGS_KEPT stay.
#define LOG_PREFIX           L"Tarnwick setup"
#define LOGS_KEPT            10
// The exit code of a run that failed because files in use need a restart:
// ERROR_FAIL_REBOOT_REQUIRED, which MinGW's headers lack. The other codes
// of their own are Windows' names (ERROR_INSTALL_ALREADY_RUNNING, ...).
#ifndef ERROR_FAIL_REBOOT_REQUIRED
#define ERROR_FAIL_REBOOT_REQUIRED 3017
#endif
