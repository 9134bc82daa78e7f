#include "system/extract.h"

#include <stdio.h>
#include <windows.h>

#include "system/files.h"

enum { COMMAND_CHARS = 8192 };

int extract_tar(const wchar_t *archive, const wchar_t *dest_dir)
{
    int ok = 0;
    wchar_t system_dir[MAX_PATH];
    WidePath tar_exe;
    wchar_t command[COMMAND_CHARS];
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    DWORD exit_code = 1;  // stays 1 when the query fails
    UINT n;

    ZeroMemory(&process, sizeof(process));
    mkdirs(dest_dir);

    // A bare "tar.exe" would be searched for in this program's folder and
    // the current folder first (typically the user's Downloads), so the
    // program to run is named with its full system-folder path.
    n = GetSystemDirectoryW(system_dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        goto done;
    if (!compose_path(tar_exe, WIDE_PATH_CHARS, L"%ls\\tar.exe", system_dir))
        goto done;
    if (!compose_path(command, COMMAND_CHARS, L"tar.exe -xf \"%ls\" -C \"%ls\"", archive, dest_dir))
        goto done;

    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    // tar writes to the same console: our earlier lines must be out first,
    // also when standard output is a buffered file or pipe.
    fflush(stdout);
    if (!CreateProcessW(tar_exe, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        ZeroMemory(&process, sizeof(process));
        goto done;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exit_code);
    ok = exit_code == 0;

done:
    if (process.hThread != NULL)
        CloseHandle(process.hThread);
    if (process.hProcess != NULL)
        CloseHandle(process.hProcess);
    return ok;
}
