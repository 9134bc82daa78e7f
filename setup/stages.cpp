#include "setup/stages.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include "fetch/download.h"
#include "fetch/sha256_file.h"
#include "pins.h"
#include "system/console.h"
#include "system/extract.h"
#include "system/folders.h"
#include "system/shortcut.h"

enum {
    PART_NAME_CHARS = 64, PART_URL_CHARS = 1024, LAUNCH_ARGS_CHARS = 4200, MARKER_BYTES = 64,
    COUNTER_CHARS = 64, COUNTER_PAUSE_MS = 250
};

// The counter on the line below a download's progress line: drawn in place,
// a few times a second, only on a console, and erased at the end, so that
// the window then shows the same text as a transcript in a file.
struct Counter {
    int on;           // standard output is a console
    DWORD drawn_at;   // tick count of the last drawing
    int widest;       // the longest text drawn so far
};

static void draw_counter(unsigned long long stored, unsigned long long total, int has_total, void *context)
{
    Counter *counter = (Counter *)context;
    char text[COUNTER_CHARS];
    DWORD now = GetTickCount();

    if (!counter->on || (counter->widest > 0 && now - counter->drawn_at < COUNTER_PAUSE_MS))
        return;
    format_progress(text, sizeof(text), stored, total, has_total);
    if ((int)strlen(text) > counter->widest)
        counter->widest = (int)strlen(text);
    // Padded to the widest text drawn, or the tail of a longer one stays.
    printf("\r%-*s", counter->widest, text);
    fflush(stdout);
    counter->drawn_at = now;
}

static int download_counted(const wchar_t *url, const wchar_t *dest)
{
    Counter counter = {output_is_console(), 0, 0};
    int ok = download(url, dest, draw_counter, &counter);
    if (counter.widest > 0) {
        printf("\r%*s\r", counter.widest, "");
        fflush(stdout);
    }
    return ok;
}

#define PACKAGE_FAILED "The course package did not verify and was removed. Run the setup again.\n"

// 1 when the file at path can be hashed and its digest equals pin.
static int matches_pin(const wchar_t *path, const char *pin, char *digest_text)
{
    return sha256_file(path, digest_text) && strcmp(digest_text, pin) == 0;
}

// Moves folder out of the way into the discarded folder and deletes what
// that holds as far as Windows allows. 1 when folder is gone.
static int clear_folder(const InstallLayout *layout, const wchar_t *folder)
{
    WidePath moved_to;
    int gone = move_aside(folder, layout->Discarded, moved_to);
    remove_tree(layout->Discarded);
    return gone;
}

void clear_leftovers(const InstallLayout *layout)
{
    clear_folder(layout, layout->PythonNew);
    clear_folder(layout, layout->AppNew);
}

int runtime_stage(InstallLayout *layout, char *digest_text)
{
    if (!join_path(layout->RuntimeArchive, layout->DownloadsDir, L"python-embed.zip")) {
        printf("The Python download failed. Check your connection and run the setup again.\n");
        return 0;
    }
    // An archive verified by an earlier run is used again as it is.
    if (!(file_exists(layout->RuntimeArchive) &&
          matches_pin(layout->RuntimeArchive, PYTHON_SHA256, digest_text))) {
        printf("Downloading Python runtime ...\n");
        if (!download_counted(PYTHON_URL, layout->RuntimeArchive)) {
            printf("The Python download failed. Check your connection and run the setup again.\n");
            return 0;
        }
        if (!matches_pin(layout->RuntimeArchive, PYTHON_SHA256, digest_text)) {
            DeleteFileW(layout->RuntimeArchive);
            printf("The Python download failed its checksum and was removed. Run the setup again.\n");
            return 0;
        }
    }
    printf("Extracting Python runtime ...\n");
    // Into a fresh folder: the installed runtime stays as it is until the
    // whole new release is there.
    if (!clear_folder(layout, layout->PythonNew) || !extract_tar(layout->RuntimeArchive, layout->PythonNew) ||
        !file_exists(layout->NewPythonwExe)) {
        printf("Could not extract the Python runtime (tar.exe is part of Windows 10 and 11).\n");
        return 0;
    }
    return 1;
}

// Downloads the parts one after the other, checks each against its pin
// before any of its bytes enter the package, appends it, and checks the
// whole package. On failure the package file is closed and deleted.
static int build_package(InstallLayout *layout, char *digest_text, unsigned char *copy_buffer)
{
    int ok = 0;
    int created = 0;
    HANDLE package = INVALID_HANDLE_VALUE;
    HANDLE part = INVALID_HANDLE_VALUE;
    wchar_t part_name[PART_NAME_CHARS];
    wchar_t part_url[PART_URL_CHARS];

    package = CreateFileW(layout->PayloadArchive, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, NULL);
    if (package == INVALID_HANDLE_VALUE) {
        printf("Could not create the course package file.\n");
        goto done;
    }
    created = 1;
    for (int n = 1; n <= PART_COUNT; n++) {
        if (!compose_path(part_name, PART_NAME_CHARS, L"zept-payload.part%02d", n) ||
            !compose_path(part_url, PART_URL_CHARS, L"%ls%ls", COURSE_BASE_URL, part_name) ||
            !join_path(layout->PartFile, layout->DownloadsDir, part_name))
            goto done;
        printf("Downloading course part %d of %d ...\n", n, PART_COUNT);
        if (!download_counted(part_url, layout->PartFile))
            goto done;
        if (!matches_pin(layout->PartFile, PART_SHA256[n - 1], digest_text)) {
            printf("Course part %d failed its checksum.\n", n);
            goto done;
        }
        part = CreateFileW(layout->PartFile, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
        if (part == INVALID_HANDLE_VALUE)
            goto done;
        for (;;) {
            DWORD got = 0;
            DWORD put = 0;
            if (!ReadFile(part, copy_buffer, COPY_BUFFER_BYTES, &got, NULL))
                goto done;
            if (got == 0)
                break;
            // A short write is caught by the digest of the whole package.
            if (!WriteFile(package, copy_buffer, got, &put, NULL))
                goto done;
        }
        CloseHandle(part);
        part = INVALID_HANDLE_VALUE;
    }
    // The package must be closed before it can be hashed.
    CloseHandle(package);
    package = INVALID_HANDLE_VALUE;
    if (!matches_pin(layout->PayloadArchive, PAYLOAD_SHA256, digest_text))
        goto done;
    ok = 1;

done:
    if (part != INVALID_HANDLE_VALUE)
        CloseHandle(part);
    if (package != INVALID_HANDLE_VALUE)
        CloseHandle(package);
    // Nothing half-built or unverified may stay for a later run to trust.
    if (created && !ok) {
        DeleteFileW(layout->PayloadArchive);
        printf(PACKAGE_FAILED);
    }
    return ok;
}

static void write_marker(const wchar_t *marker_file, const char *line, DWORD length)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD put = 0;

    file = CreateFileW(marker_file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    WriteFile(file, line, length, &put, NULL);
    CloseHandle(file);
}

int course_stage(InstallLayout *layout, char *digest_text, unsigned char *copy_buffer)
{
    if (!join_path(layout->PayloadArchive, layout->DownloadsDir, L"zept-payload.zip")) {
        printf("Could not create the course package file.\n");
        return 0;
    }
    // A package verified by an earlier run is used again; no part is fetched.
    if (!(file_exists(layout->PayloadArchive) &&
          matches_pin(layout->PayloadArchive, PAYLOAD_SHA256, digest_text)) &&
        !build_package(layout, digest_text, copy_buffer))
        return 0;
    printf("Extracting the course ...\n");
    if (!clear_folder(layout, layout->AppNew) || !extract_tar(layout->PayloadArchive, layout->AppNew) ||
        !file_exists(layout->NewLauncher)) {
        printf("Could not extract the course package.\n");
        return 0;
    }
    return 1;
}

int put_in_place(const InstallLayout *layout)
{
    int ok = 0;
    int undone = 1;
    int step = 0;  // how many of the four renames were made
    char marker[MARKER_BYTES];
    DWORD marker_length = 0;
    int had_marker = read_file_start(layout->MarkerFile, marker, sizeof(marker), &marker_length);
    WidePath python_aside;
    WidePath app_aside;

    // From the first rename on, the installation is a mix: no marker may
    // vouch for it until both folders are in place.
    DeleteFileW(layout->MarkerFile);
    if (!move_aside(layout->PythonDir, layout->Discarded, python_aside))
        goto done;
    step = 1;
    if (!move_folder(layout->PythonNew, layout->PythonDir))
        goto done;
    step = 2;
    if (!move_aside(layout->AppDir, layout->Discarded, app_aside))
        goto done;
    step = 3;
    if (!move_folder(layout->AppNew, layout->AppDir))
        goto done;
    write_marker(layout->MarkerFile, MARKER_LINE, (DWORD)strlen(MARKER_LINE));
    // The replaced folders go now, or on a later run if something holds them.
    remove_tree(layout->Discarded);
    ok = 1;

done:
    if (!ok) {
        // Back as it was, in reverse order.
        if (step >= 3 && app_aside[0] != 0)
            undone = move_folder(app_aside, layout->AppDir) && undone;
        if (step >= 2)
            undone = move_folder(layout->PythonDir, layout->PythonNew) && undone;
        if (step >= 1 && python_aside[0] != 0)
            undone = move_folder(python_aside, layout->PythonDir) && undone;
        if (undone && had_marker)
            write_marker(layout->MarkerFile, marker, marker_length);
        printf("Tarnwick was left as it was because some of its files are in use; "
               "restart your PC and run the setup again.\n");
    }
    return ok;
}

static void shortcut_in(int csidl, const InstallLayout *layout, const wchar_t *arguments)
{
    WidePath folder;
    WidePath link_path;
    if (SHGetFolderPathW(NULL, csidl, NULL, 0, folder) != S_OK)
        return;
    if (!join_path(link_path, folder, L"Tarnwick.lnk"))
        return;
    make_shortcut(link_path, layout->PythonwExe, arguments, layout->AppDir);
}

void finish_setup(const InstallLayout *layout)
{
    wchar_t arguments[LAUNCH_ARGS_CHARS];
    HRESULT com = CoInitialize(NULL);
    // The launcher path is quoted so that a path with spaces stays one argument.
    int have_arguments = compose_path(arguments, LAUNCH_ARGS_CHARS, L"\"%ls\"", layout->LauncherScript);

    if (have_arguments) {
        shortcut_in(CSIDL_DESKTOPDIRECTORY, layout, arguments);
        shortcut_in(CSIDL_PROGRAMS, layout, arguments);
    }
    if (SUCCEEDED(com))
        CoUninitialize();

    printf("\nInstalled. Opening the course now ...\n");
    if (have_arguments)
        ShellExecuteW(NULL, L"open", layout->PythonwExe, arguments, layout->AppDir, SW_SHOWNORMAL);
    printf("Look for \"Tarnwick\" on your desktop and in the\n");
    printf("Start menu to open it again later.\n");
}
