#include "setup/removal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "setup/layout.h"
#include "setup/register.h"
#include "system/console.h"
#include "system/files.h"
#include "system/folders.h"
#include "system/lock.h"
#include "system/registry.h"
#include "system/shortcut.h"

enum { TEMP_CHARS = 260, COMMAND_CHARS = WIDE_PATH_CHARS + 64, HANDED_OVER_WAIT_MS = 60000 };

// The temporary copy a removal continues from: %TEMP%\zept-removal.exe.
static int removal_copy_path(wchar_t *out)
{
    wchar_t temp[TEMP_CHARS];
    DWORD n = GetTempPathW(TEMP_CHARS, temp);
    return n > 0 && n < TEMP_CHARS && compose_path(out, WIDE_PATH_CHARS, L"%lszept-removal.exe", temp);
}

void forget_removal_copy(void)
{
    WidePath copy;
    if (removal_copy_path(copy))
        DeleteFileW(copy);
}

// 1 when path lies inside folder.
static int inside(const wchar_t *path, const wchar_t *folder)
{
    size_t length = wcslen(folder);
    return wcslen(path) > length && path[length] == L'\\' &&
           CompareStringOrdinal(path, (int)length, folder, (int)length, TRUE) == CSTR_EQUAL;
}

// Starts the temporary copy of self, on this console and with this
// program's standard handles, in the temporary folder, to go on once this
// process has ended. 1 when it started.
static int hand_over(const wchar_t *self)
{
    int ok = 0;
    WidePath copy;
    wchar_t command[COMMAND_CHARS];
    wchar_t work_dir[TEMP_CHARS];
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;

    ZeroMemory(&process, sizeof(process));
    if (!removal_copy_path(copy) || !CopyFileW(self, copy, FALSE))
        goto done;
    if (!compose_path(command, COMMAND_CHARS, L"\"%ls\" --uninstall --after %lu", copy, GetCurrentProcessId()))
        goto done;
    // Its current folder must not be one the removal deletes.
    if (GetTempPathW(TEMP_CHARS, work_dir) == 0)
        goto done;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    if (!CreateProcessW(copy, command, NULL, NULL, TRUE, 0, NULL, work_dir, &startup, &process)) {
        ZeroMemory(&process, sizeof(process));
        goto done;
    }
    ok = 1;

done:
    if (process.hThread != NULL)
        CloseHandle(process.hThread);
    if (process.hProcess != NULL)
        CloseHandle(process.hProcess);
    return ok;
}

// Waits (a minute at most) for the process that handed over to end, so
// that its file can be deleted.
static void wait_for(const char *pid_text)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)strtoul(pid_text, NULL, 10));
    if (process == NULL)
        return;
    WaitForSingleObject(process, HANDED_OVER_WAIT_MS);
    CloseHandle(process);
}

// For the desktop and the Start-menu shortcut: whether it exists and
// starts this installation's pythonw.exe, and with remove, deletes it then.
// Returns how many of the two are the installation's.
static int our_shortcuts(const InstallLayout *layout, int remove)
{
    static const int FOLDERS[] = {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS};
    int found = 0;
    HRESULT com = CoInitialize(NULL);
    for (int i = 0; i < 2; i++) {
        WidePath folder;
        WidePath link;
        if (SHGetFolderPathW(NULL, FOLDERS[i], NULL, 0, folder) != S_OK ||
            !join_path(link, folder, L"Tarnwick.lnk"))
            continue;
        // A shortcut the learner pointed elsewhere is theirs.
        if (!shortcut_starts(link, layout->PythonwExe))
            continue;
        found++;
        if (remove)
            DeleteFileW(link);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return found;
}

int run_removal(int argc, char **argv)
{
    int ok = 0;
    HANDLE lock = NULL;
    InstallLayout layout;
    WidePath self = L"";
    DWORD n = GetModuleFileNameW(NULL, self, WIDE_PATH_CHARS);
    int found_layout = find_layout(&layout);

    // Windows cannot delete a running program's file: from inside the
    // install root, the removal goes on from a temporary copy.
    if (argc > 3 && strcmp(argv[2], "--after") == 0)
        wait_for(argv[3]);
    else if (found_layout && n > 0 && n < WIDE_PATH_CHARS && inside(self, layout.InstallRoot) && hand_over(self))
        return 0;

    console_title(L"Tarnwick - Olvenmark removal");
    printf("Tarnwick - Olvenmark, Title 1 - Removal\n");
    printf("============================================================\n");
    printf("\n");
    if (!take_setup_lock(&lock)) {
        printf("The setup is already running in another window.\n");
        goto done;
    }
    if (!found_layout) {
        printf("Could not find your local application folder.\n");
        goto done;
    }
    if (program_running(layout.PythonwExe)) {
        printf("Tarnwick is still open. Close it and run the removal again.\n");
        goto done;
    }
    if (GetFileAttributesW(layout.InstallRoot) == INVALID_FILE_ATTRIBUTES && !uninstall_entry_exists(UNINSTALL_KEY) &&
        our_shortcuts(&layout, 0) == 0) {
        printf("Tarnwick is not installed.\n");
        ok = 1;
        goto done;
    }
    printf("Removing Tarnwick ...\n");
    // First the marker: a removal cut short leaves nothing that a setup
    // would take for a complete installation.
    DeleteFileW(layout.MarkerFile);
    our_shortcuts(&layout, 1);
    // Always the install root of this profile's layout, never a path read
    // from the entry, a file or the command line.
    if (!remove_tree(layout.InstallRoot)) {
        printf("Some files of Tarnwick are in use and were not removed; restart your PC and run the removal "
               "again.\n");
        goto done;
    }
    delete_uninstall_entry(UNINSTALL_KEY);
    printf("Tarnwick was removed from this PC.\n");
    ok = 1;

done:
    release_setup_lock(lock);
    pause_at_end();
    return ok ? 0 : 1;
}
