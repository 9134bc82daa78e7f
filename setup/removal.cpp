#include "setup/removal.h"

#include <stdio.h>
#include <windows.h>

#include "setup/layout.h"
#include "setup/product.h"
#include "setup/register.h"
#include "setup/run.h"
#include "setup/shortcuts.h"
#include "system/console.h"
#include "system/files.h"
#include "system/folders.h"
#include "system/log.h"
#include "system/lock.h"
#include "system/process.h"
#include "system/registry.h"

// The copy's path and the log's, with the options.
enum { COMMAND_CHARS = 2 * WIDE_PATH_CHARS + 64, HANDED_OVER_WAIT_MS = 60000 };

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
// process has ended, as quiet as this one and into the same log. 1 when it
// started.
static int hand_over(const wchar_t *self, const SetupOptions *options, RunLog *log)
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
    if (!compose_path(command, COMMAND_CHARS, L"\"%ls\" --uninstall --after %lu%ls%ls%ls%ls", copy,
                      GetCurrentProcessId(), options->quiet ? L" --quiet" : L"",
                      log->path[0] != 0 ? L" --log \"" : L"", log->path, log->path[0] != 0 ? L"\"" : L""))
        goto done;
    log_note(log, L"going on from %ls", copy);
    // Its current folder must not be one the removal deletes.
    if (!temp_path(work_dir, L"") || !start_process(copy, command, work_dir, NULL, &process))
        goto done;
    ok = 1;

done:
    close_process(&process);
    return ok;
}

// Moves the running program's own file from the install root to the
// temporary copy's name, so that this process can remove the whole root
// itself and its caller (an endpoint tool running the entry's
// QuietUninstallString) gets the removal's own exit code. Windows renames
// a running image within its volume; %TEMP% on another volume refuses.
// 1 when self now lies at moved (a WidePath).
static int move_self_out(const wchar_t *self, wchar_t *moved, RunLog *log)
{
    if (!temp_path(moved, REMOVAL_COPY))
        return 0;
    // An earlier removal's file, no longer running.
    DeleteFileW(moved);
    if (!MoveFileExW(self, moved, 0)) {
        log_note(log, L"the setup could not move itself to %ls (error %lu)", moved, GetLastError());
        return 0;
    }
    log_note(log, L"the setup moved itself to %ls, to remove the install root", moved);
    return 1;
}

// 1 when the files a and b lie on one volume, where a file can be renamed
// from one to the other.
static int same_volume(const wchar_t *a, const wchar_t *b)
{
    WidePath volume_a;
    WidePath volume_b;
    return GetVolumePathNameW(a, volume_a, WIDE_PATH_CHARS) && GetVolumePathNameW(b, volume_b, WIDE_PATH_CHARS) &&
           _wcsicmp(volume_a, volume_b) == 0;
}

// Waits (a minute at most) for the process that handed over to end, so
// that its file can be deleted.
static void wait_for(unsigned long pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)pid);
    if (process == NULL)
        return;
    WaitForSingleObject(process, HANDED_OVER_WAIT_MS);
    CloseHandle(process);
}

int run_removal(const SetupOptions *options, RunLog *log)
{
    int ok = 0;
    int code = 1;
    int moved = 0;
    HANDLE lock = NULL;
    InstallLayout layout;
    WidePath self;
    WidePath moved_to;
    WidePath temp;
    int found_self = program_path(self);
    int found_layout = find_layout(&layout);

    int inside = found_layout && found_self && path_within(self, layout.InstallRoot);

    temp_path(temp, L"");

    // Windows cannot delete a running program's file: from inside the
    // install root, the removal moves its file out once it is sure to
    // remove (and back when the root stays), or, where Windows refuses that
    // move (%TEMP% on another volume), goes on from a temporary copy.
    if (options->after != 0)
        wait_for(options->after);
    else if (inside && !same_volume(self, temp) && hand_over(self, options, log))
        return 0;
    // A current folder inside the root would keep it from being removed.
    if (temp[0] != 0)
        SetCurrentDirectoryW(temp);

    open_run(options, L"Tarnwick - Olvenmark removal",
             "Tarnwick - Olvenmark, Title 1 - Removal\n"
             "============================================================\n\n",
             log);
    if (!take_run_lock(&lock, log, &code))
        goto done;
    if (!found_layout) {
        say(log, "Could not find your local application folder.\n");
        goto done;
    }
    if (program_running(layout.PythonwExe)) {
        say(log, "Tarnwick is still open. Close it and run the removal again.\n");
        code = ERROR_BUSY;
        goto done;
    }
    if (GetFileAttributesW(layout.InstallRoot) == INVALID_FILE_ATTRIBUTES && !uninstall_entry_exists(UNINSTALL_KEY) &&
        count_our_shortcuts(&layout) == 0) {
        say(log, "Tarnwick is not installed.\n");
        ok = 1;
        goto done;
    }
    say(log, "Removing Tarnwick ...\n");
    // First the marker: a removal cut short leaves nothing that a setup
    // would take for a complete installation.
    DeleteFileW(layout.MarkerFile);
    remove_our_shortcuts(&layout);
    if (inside && options->after == 0)
        moved = move_self_out(self, moved_to, log);
    // Always the install root of this profile's layout, never a path read
    // from the entry, a file or the command line.
    if (!remove_tree(layout.InstallRoot)) {
        say(log, "Some files of Tarnwick are in use and were not removed; restart your PC and run the removal "
                 "again.\n");
        code = ERROR_FAIL_REBOOT_REQUIRED;
        goto done;
    }
    delete_uninstall_entry(UNINSTALL_KEY);
    say(log, "Tarnwick was removed from this PC.\n");
    ok = 1;

done:
    // Not removed: the entry's command must find the copy where it was.
    if (moved && GetFileAttributesW(layout.InstallRoot) != INVALID_FILE_ATTRIBUTES &&
        !MoveFileExW(moved_to, self, 0))
        log_note(log, L"the setup could not move itself back to %ls (error %lu)", self, GetLastError());
    close_run(options, lock);
    return ok ? 0 : code;
}
