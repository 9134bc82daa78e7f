#include "setup/removal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "setup/layout.h"
#include "setup/product.h"
#include "setup/register.h"
#include "setup/shortcuts.h"
#include "system/console.h"
#include "system/files.h"
#include "system/folders.h"
#include "system/lock.h"
#include "system/process.h"
#include "system/registry.h"

enum { COMMAND_CHARS = WIDE_PATH_CHARS + 64, HANDED_OVER_WAIT_MS = 60000 };

// The temporary copy a removal continues from: %TEMP%\zept-removal.exe,
// written as zept-removal.new.
#define REMOVAL_COPY L"zept-removal.exe"
#define REMOVAL_COPY_NEW L"zept-removal.new"

void forget_removal_copy(void)
{
    WidePath copy;
    if (temp_path(copy, REMOVAL_COPY))
        DeleteFileW(copy);
    if (temp_path(copy, REMOVAL_COPY_NEW))
        DeleteFileW(copy);
}

// Starts the temporary copy of self, on this console and with this
// program's standard handles, in the temporary folder, to go on once this
// process has ended. 1 when it started.
static int hand_over(const wchar_t *self)
{
    int ok = 0;
    WidePath copy;
    WidePath copy_new;
    WidePath work_dir;
    wchar_t command[COMMAND_CHARS];
    PROCESS_INFORMATION process;

    ZeroMemory(&process, sizeof(process));
    if (!temp_path(copy, REMOVAL_COPY) || !temp_path(copy_new, REMOVAL_COPY_NEW) ||
        !install_copy(self, copy, copy_new))
        goto done;
    if (!compose_path(command, COMMAND_CHARS, L"\"%ls\" --uninstall --after %lu", copy, GetCurrentProcessId()))
        goto done;
    // Its current folder must not be one the removal deletes.
    if (!temp_path(work_dir, L"") || !start_process(copy, command, work_dir, &process))
        goto done;
    ok = 1;

done:
    close_process(&process);
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

int run_removal(int argc, char **argv)
{
    int ok = 0;
    HANDLE lock = NULL;
    InstallLayout layout;
    WidePath self;
    int found_self = program_path(self);
    int found_layout = find_layout(&layout);

    // Windows cannot delete a running program's file: from inside the
    // install root, the removal goes on from a temporary copy.
    if (argc > 3 && strcmp(argv[2], "--after") == 0)
        wait_for(argv[3]);
    else if (found_layout && found_self && path_within(self, layout.InstallRoot) && hand_over(self))
        return 0;

    console_title(L"Tarnwick - Olvenmark removal");
    printf("Tarnwick - Olvenmark, Title 1 - Removal\n");
    printf("============================================================\n");
    printf("\n");
    if (!take_setup_lock(SETUP_LOCK_NAME, &lock)) {
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
        count_our_shortcuts(&layout) == 0) {
        printf("Tarnwick is not installed.\n");
        ok = 1;
        goto done;
    }
    printf("Removing Tarnwick ...\n");
    // First the marker: a removal cut short leaves nothing that a setup
    // would take for a complete installation.
    DeleteFileW(layout.MarkerFile);
    remove_our_shortcuts(&layout);
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
    pause_at_end(CLOSING_PROMPT);
    return ok ? 0 : 1;
}
