#include "system/process.h"

#include <stdio.h>

int start_process(const wchar_t *exe, wchar_t *command, const wchar_t *work_dir, HANDLE error,
                  PROCESS_INFORMATION *process)
{
    STARTUPINFOW startup;

    ZeroMemory(process, sizeof(*process));
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = error != NULL ? error : GetStdHandle(STD_ERROR_HANDLE);
    // Our earlier lines must be out before the child's, also when standard
    // output is a buffered file or pipe.
    fflush(stdout);
    if (!CreateProcessW(exe, command, NULL, NULL, TRUE, 0, NULL, work_dir, &startup, process)) {
        ZeroMemory(process, sizeof(*process));
        return 0;
    }
    return 1;
}

void close_process(PROCESS_INFORMATION *process)
{
    if (process->hThread != NULL)
        CloseHandle(process->hThread);
    if (process->hProcess != NULL)
        CloseHandle(process->hProcess);
    ZeroMemory(process, sizeof(*process));
}
