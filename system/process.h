#pragma once

#include <windows.h>

// Starts the program exe with the command line command (the program's name
// first; CreateProcessW may write into the buffer) in the folder work_dir
// (NULL: this program's current folder), on this console and with this
// program's standard input and output, so that what it prints goes where
// this program's output goes; its standard error is error (an inheritable
// handle), or this program's with NULL.
// 1 when it started: *process holds its handles, which the caller releases
// with close_process. 0 when it could not be started: *process is zeroed.
int start_process(const wchar_t *exe, wchar_t *command, const wchar_t *work_dir, HANDLE error,
                  PROCESS_INFORMATION *process);

// Closes the handles that start_process gave (a zeroed one: nothing). The
// process itself goes on.
void close_process(PROCESS_INFORMATION *process);
