#include "setup/stages.h"

#include <stdio.h>
#include <windows.h>
#include <shellapi.h>

#include "fetch/download.h"
#include "fetch/sha256_file.h"
#include "pins.h"
#include "setup/artefact.h"
#include "setup/check.h"
#include "setup/package.h"
#include "setup/shortcuts.h"
#include "setup/swap.h"
#include "setup/transfers.h"
#include "system/extract.h"
#include "system/files.h"
#include "system/log.h"

enum { LAUNCH_ARGS_CHARS = 4200 };

void note_full_disk(DownloadSession *net, const wchar_t *root, const wchar_t *archive)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    unsigned long long size = 0;
    if (GetFileAttributesExW(archive, GetFileExInfoStandard, &data))
        size = ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    if (short_of_space(root, size)) {
        log_note(net->log, L"the disk is full: less than %llu bytes free", size);
        InterlockedExchange(&net->disk_full, 1);
    }
}

int fetch_runtime(InstallLayout *layout, const wchar_t *folder, DownloadSession *net, char *digest_text)
{
    const Artefact runtime = {PYTHON_URL, PYTHON_SHA256, PYTHON_SIZE, "Python runtime"};
    ArtefactFailure failure = ARTEFACT_NOT_FETCHED;

    if (join_path(layout->RuntimeArchive, folder, RUNTIME_NAME) &&
        obtain_artefact(net, &runtime, layout->SetupDir, layout->RuntimeArchive, digest_text, &failure))
        return 1;
    if (failure == ARTEFACT_REFUSED)
        say(net->log, RUNTIME_REFUSED);
    else
        say(net->log, RUNTIME_FAILED);
    return 0;
}

int install_trees(InstallLayout *layout, int trees, DownloadSession *net, char *digest_text,
                  unsigned char *copy_buffer)
{
    int plan = FETCH_INSTALL;

    if (trees & TREE_RUNTIME)
        plan |= FETCH_RUNTIME;
    // A package verified by an earlier run is used again; no part is fetched.
    if ((trees & TREE_COURSE) && !file_matches_pin(layout->PayloadArchive, PAYLOAD_SHA256, digest_text))
        plan |= FETCH_PARTS;
    if (!fetch_side_by_side(layout, layout->DownloadsDir, plan, net, digest_text, copy_buffer))
        return 0;
    if (!(trees & TREE_COURSE))
        return 1;
    say(net->log, "Extracting the course ...\n");
    if (!discard_folder(layout, layout->AppNew) || !extract_tar(layout->PayloadArchive, layout->AppNew, net->log) ||
        !file_exists(layout->NewLauncher)) {
        note_full_disk(net, layout->InstallRoot, layout->PayloadArchive);
        say(net->log, "Could not extract the course package.\n");
        return 0;
    }
    return 1;
}

// One half of find_damage: stored is whether the tree's archive (holding
// its directory) was had and matched its pin; tree its TREE_ flag. 1 when
// done; 0 only when, with content, the archive could not be had.
static int check_one(int stored, const wchar_t *archive, const wchar_t *installed, int tree, int content,
                     RunLog *log, unsigned char *copy_buffer, int *damage, int *unchecked)
{
    TreeState state = TREE_UNCHECKED;
    if (stored)
        state = check_tree(archive, installed, content, log, copy_buffer);
    else if (content)
        return 0;
    else
        log_note(log, L"%ls is not checked: its archive is not in the downloads folder or does not match its pin",
                 installed);
    if (state == TREE_DAMAGED)
        *damage |= tree;
    else if (state == TREE_UNCHECKED)
        *unchecked |= tree;
    return 1;
}

int find_damage(InstallLayout *layout, int content, DownloadSession *net, char *digest_text,
                unsigned char *copy_buffer, int *damage, int *unchecked)
{
    int stored = 0;

    *damage = 0;
    *unchecked = 0;
    // The runtime, from the directory of its archive.
    if (content)
        stored = fetch_runtime(layout, layout->DownloadsDir, net, digest_text);
    else
        stored = join_path(layout->RuntimeArchive, layout->DownloadsDir, RUNTIME_NAME) &&
                 file_matches_pin(layout->RuntimeArchive, PYTHON_SHA256, digest_text);
    if (!check_one(stored, layout->RuntimeArchive, layout->PythonDir, TREE_RUNTIME, content, net->log, copy_buffer,
                   damage, unchecked))
        return 0;
    // The course, from the directory at the end of its last part.
    if (content)
        stored = fetch_part(layout, layout->DownloadsDir, net, PART_COUNT, digest_text);
    else
        stored = part_path(layout, layout->DownloadsDir, PART_COUNT) &&
                 file_matches_pin(layout->PartFile, PART_SHA256[PART_COUNT - 1], digest_text);
    if (!check_one(stored, layout->PartFile, layout->AppDir, TREE_COURSE, content, net->log, copy_buffer, damage,
                   unchecked)) {
        say(net->log, PACKAGE_FAILED);
        return 0;
    }
    return 1;
}

void finish_setup(const InstallLayout *layout, int quiet, RunLog *log)
{
    wchar_t arguments[LAUNCH_ARGS_CHARS];
    // The launcher path is quoted so that a path with spaces stays one argument.
    int have_arguments = compose_path(arguments, LAUNCH_ARGS_CHARS, L"\"%ls\"", layout->LauncherScript);

    if (have_arguments)
        make_our_shortcuts(layout, arguments);
    // Nobody at the keyboard (quiet): the course waits for its learner.
    say(log, quiet ? "\nInstalled.\n" : "\nInstalled. Opening the course now ...\n");
    if (!quiet && have_arguments &&
        (INT_PTR)ShellExecuteW(NULL, L"open", layout->PythonwExe, arguments, layout->AppDir, SW_SHOWNORMAL) <= 32)
        log_note(log, L"the course could not be started (error %lu)", GetLastError());
    say(log, "Look for \"Tarnwick\" on your desktop and in the\n");
    say(log, quiet ? "Start menu to open it.\n" : "Start menu to open it again later.\n");
}
