#include "setup/swap.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "pins.h"
#include "setup/product.h"
#include "system/files.h"
#include "system/folders.h"
#include "system/log.h"

enum { VERSION_NUMBERS = 4, MARKER_BYTES = 64 };

#define DISK_TROUBLE \
    "Could not finish the installation (the disk may be full); free some space and run the setup again.\n"

const char MARKER_LINE[] = "Tarnwick " COURSE_VERSION " installed.\r\n";

// Reads one to four dot-separated numbers from text (length bytes, all of
// them), missing ones as 0. 0 for anything else.
static int parse_version(const char *text, size_t length, unsigned long numbers[VERSION_NUMBERS])
{
    int count = 0;
    size_t i = 0;
    for (int k = 0; k < VERSION_NUMBERS; k++)
        numbers[k] = 0;
    while (i < length) {
        size_t digits = 0;
        if (count == VERSION_NUMBERS)
            return 0;
        for (; i < length && text[i] >= '0' && text[i] <= '9'; i++, digits++) {
            if (digits == 9)
                return 0;
            numbers[count] = numbers[count] * 10 + (unsigned long)(text[i] - '0');
        }
        if (digits == 0)
            return 0;
        count++;
        if (i < length && (text[i] != '.' || ++i == length))
            return 0;
    }
    return count > 0;
}

// 1 when the marker's bytes are a marker line whose version is this
// build's or newer.
static int marker_vouches(const char *marker, size_t length)
{
    static const char HEAD[] = "Tarnwick ";
    static const char TAIL[] = " installed.\r\n";
    const size_t head = sizeof(HEAD) - 1;
    const size_t tail = sizeof(TAIL) - 1;
    unsigned long found[VERSION_NUMBERS];
    unsigned long ours[VERSION_NUMBERS];

    if (length <= head + tail || memcmp(marker, HEAD, head) != 0 ||
        memcmp(marker + length - tail, TAIL, tail) != 0)
        return 0;
    if (!parse_version(marker + head, length - head - tail, found) ||
        !parse_version(COURSE_VERSION, strlen(COURSE_VERSION), ours))
        return 0;
    for (int k = 0; k < VERSION_NUMBERS; k++) {
        if (found[k] != ours[k])
            return found[k] > ours[k];
    }
    return 1;
}

int installation_complete(const InstallLayout *layout)
{
    char marker[MARKER_BYTES];
    DWORD length = 0;
    if (!read_file_start(layout->MarkerFile, marker, sizeof(marker), &length))
        return 0;
    return marker_vouches(marker, length) && file_exists(layout->PythonwExe) &&
           file_exists(layout->LauncherScript);
}

int marker_is_ours(const InstallLayout *layout)
{
    char marker[MARKER_BYTES];
    DWORD length = 0;
    return read_file_start(layout->MarkerFile, marker, sizeof(marker), &length) &&
           length == strlen(MARKER_LINE) && memcmp(marker, MARKER_LINE, length) == 0;
}

int discard_folder(const InstallLayout *layout, const wchar_t *folder)
{
    WidePath moved_to;
    int gone = move_aside(folder, layout->Discarded, moved_to);
    remove_tree(layout->Discarded);
    return gone;
}

int clear_leftovers(const InstallLayout *layout, RunLog *log)
{
    const wchar_t *const leftovers[] = {layout->PythonNew, layout->AppNew};
    WidePath moved_to;
    int cleared = 1;

    for (const wchar_t *folder : leftovers) {
        if (!move_aside(folder, layout->Discarded, moved_to)) {
            log_note(log, L"%ls, left by an earlier run, cannot be moved aside (error %lu)", folder, GetLastError());
            cleared = 0;
        }
    }
    remove_tree(layout->Discarded);
    return cleared;
}

// Moves back what the first step renames of put_in_place moved, in
// reverse order: the old course (moved aside to app_aside, when it was),
// the new runtime (when python was swapped) and the old runtime. 1 when
// every folder is where it was.
static int undo_swap(const InstallLayout *layout, int step, int python, const wchar_t *python_aside,
                     const wchar_t *app_aside)
{
    int undone = 1;
    if (step >= 3 && app_aside[0] != 0)
        undone = move_folder(app_aside, layout->AppDir) && undone;
    if (step >= 2 && python)
        undone = move_folder(layout->PythonDir, layout->PythonNew) && undone;
    if (step >= 1 && python_aside[0] != 0)
        undone = move_folder(python_aside, layout->PythonDir) && undone;
    return undone;
}

int put_in_place(const InstallLayout *layout, int trees, RunLog *log, int *exit_code)
{
    int ok = 0;
    int swapped = 0;
    int undone = 0;
    int step = 0;  // how many of the four renames were made
    DWORD error = 0;
    char marker[MARKER_BYTES];
    DWORD marker_length = 0;
    int had_marker = read_file_start(layout->MarkerFile, marker, sizeof(marker), &marker_length);
    // A repair renews only the damaged trees: a folder of the other's new
    // name is none of this run's.
    int python = (trees & TREE_RUNTIME) != 0;
    int app = (trees & TREE_COURSE) != 0;
    WidePath python_aside;
    WidePath app_aside;

    python_aside[0] = 0;
    app_aside[0] = 0;
    // Every file of the new release is on disk before anything is moved,
    // so that the marker, written last, never vouches for files that a
    // power cut could still take.
    if ((python && !flush_tree(layout->PythonNew)) || (app && !flush_tree(layout->AppNew))) {
        error = GetLastError();
        log_note(log, L"the new files could not be flushed to disk (error %lu)", error);
        // Another program holding a new file keeps it from the disk for now.
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
            say(log, LEFT_AS_IT_WAS);
            *exit_code = ERROR_FAIL_REBOOT_REQUIRED;
        } else {
            say(log, DISK_TROUBLE);
            *exit_code = disk_full_error(error) ? ERROR_DISK_FULL : 1;
        }
        return 0;
    }
    // From the first rename on, the installation is a mix: no marker may
    // vouch for it until both folders are in place.
    DeleteFileW(layout->MarkerFile);
    if (python && !move_aside(layout->PythonDir, layout->Discarded, python_aside))
        goto done;
    step = 1;
    if (python && !move_folder(layout->PythonNew, layout->PythonDir))
        goto done;
    step = 2;
    if (app && !move_aside(layout->AppDir, layout->Discarded, app_aside))
        goto done;
    step = 3;
    if (app && !move_folder(layout->AppNew, layout->AppDir))
        goto done;
    swapped = 1;
    // The replaced folders go now, or on a later run if something holds them.
    remove_tree(layout->Discarded);
    if (!write_whole_file(layout->MarkerFile, MARKER_LINE, (DWORD)strlen(MARKER_LINE)))
        goto done;
    ok = 1;

done:
    error = ok ? 0 : GetLastError();
    if (!ok)
        log_note(log, L"stopped after %d of 4 renames (error %lu)", swapped ? 4 : step, error);
    if (!ok && swapped) {
        // The marker: a full disk, or a name taken by something else.
        say(log, DISK_TROUBLE);
        *exit_code = disk_full_error(error) ? ERROR_DISK_FULL : 1;
    } else if (!ok) {
        undone = undo_swap(layout, step, python, python_aside, app_aside) &&
                 (!had_marker || write_whole_file(layout->MarkerFile, marker, marker_length));
        *exit_code = ERROR_FAIL_REBOOT_REQUIRED;
        if (undone)
            say(log, LEFT_AS_IT_WAS);
        else
            say(log, "Some files of Tarnwick are in use and the installation is incomplete; restart your PC "
                     "and run the setup again to complete it.\n");
    }
    return ok;
}
