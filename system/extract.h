#pragma once

#include <stddef.h>
#include <wchar.h>
#include <windows.h>

struct RunLog;

// Unpacks archive (a ZIP) into dest_dir, which is created first with every
// missing parent, by running the tar.exe of the Windows system folder on the
// same console and waiting for it without a time limit.
// 1 exactly when tar ran and exited with 0; 0 when it could not be started
// (no tar.exe in the system folder, a command line too long) or exited with
// anything else. After a failure dest_dir may hold any part of the archive
// (tar goes on past an entry it cannot write, or stops where it was killed):
// the caller must never take it for the archive's content. Prints nothing
// itself; tar's output goes to this program's standard output, and what it
// writes to standard error reaches this program's standard error once tar
// has ended. log (system/log.h) receives tar's command line, its exit code
// and the last lines of its standard error (its last few KiB, from the
// first line that starts there).
// Neither path may end in a backslash.
int extract_tar(const wchar_t *archive, const wchar_t *dest_dir, RunLog *log);

// extract_tar in two steps, so that the caller can wait for tar together
// with other work: start_extraction starts tar (1; process.hProcess is
// signalled when it ends) or fails (0, after logging why: nothing runs);
// finish_extraction waits for it and releases what the start took, 1
// exactly when tar exited with 0. Every started extraction is finished.
struct Extraction {
    PROCESS_INFORMATION process;
    HANDLE errors;  // tar's standard error, a temporary file; NULL: none
};
int start_extraction(Extraction *run, const wchar_t *archive, const wchar_t *dest_dir, RunLog *log);
int finish_extraction(Extraction *run, RunLog *log);

// The command line of tar for archive and dest_dir into command (cap
// characters): tar.exe -xf "ARCHIVE" -C "DEST". Windows' tar.exe has a
// narrow main, so its command line reaches it in the ANSI code page; where
// a path would not survive that, both are given relative to the deepest
// folder that holds them, which work_dir (a WidePath) receives: tar is to
// start there. Else work_dir is empty. 1 when the command line survives
// the code page and fits; 0 otherwise (command and work_dir empty).
int tar_command(wchar_t *command, size_t cap, const wchar_t *archive, const wchar_t *dest_dir, wchar_t *work_dir);
