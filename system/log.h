#pragma once

#include <stddef.h>
#include <wchar.h>

#include "system/files.h"

// A run's log for support: UTF-8 text, one entry per line, each after the
// seconds since the log was opened. Every line the program prints goes in
// (say), and what a support person needs beside it (log_note). Entries are
// written at once, so a run that is killed leaves what it did. A log that
// cannot be written never stops a run: with no file every call does nothing
// but what it does on screen.
struct RunLog {
    void *file;                // a HANDLE; INVALID_HANDLE_VALUE: no log
    unsigned long long began;  // tick count at the opening
    WidePath path;             // the file's full path, empty with none
};

// A log that writes nothing (the state before log_open, and after a
// failed one).
void log_none(RunLog *log);

// Opens the log file at path: appended to when it exists, created when it
// does not (its folder must exist). With fresh, an existing file is never
// used (0 instead). 1 when it is open for writing; 0 with log as log_none
// made it. Other runs may read and append to the same file meanwhile.
int log_open(RunLog *log, const wchar_t *path, int fresh);

// Opens a fresh log in folder named prefix + " YYYY-MM-DD HH.MM.SS.log" (the
// local time), or with " (2)" to " (9)" before ".log" when runs meet in one
// second; then deletes the oldest files of folder named prefix + " *.log"
// until keep remain, passing over one that cannot be deleted (read-only,
// in use). 1 when a log is open.
int log_open_dated(RunLog *log, const wchar_t *folder, const wchar_t *prefix, int keep);

// Closes the file; log is then as log_none made it.
void log_close(RunLog *log);

// Writes one entry (the C runtime's wide formatter; %hs for 8-bit text)
// into the log only. Entries longer than a few thousand characters are cut.
void log_note(RunLog *log, const wchar_t *format, ...);

// Prints like printf and puts each line of the text into the log, marked
// as printed. Empty lines stay on screen only.
void say(RunLog *log, const char *format, ...);

// Puts the length bytes of text (a child's diagnostics, say) into the log,
// one entry per line, each after the label. At most the last 64 lines are
// kept; a line longer than a few hundred bytes is cut.
void log_output(RunLog *log, const char *label, const char *text, size_t length);
