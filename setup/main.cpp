// zept-setup: installs the course Tarnwick (title 1 of Olvenmark) into the
// user's profile, with no questions and no administrator rights.

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "fetch/download.h"
#include "fetch/sha256_file.h"
#include "setup/layout.h"
#include "setup/offline.h"
#include "setup/package.h"
#include "setup/product.h"
#include "setup/register.h"
#include "setup/removal.h"
#include "setup/selftest.h"
#include "setup/stages.h"
#include "setup/swap.h"
#include "system/console.h"
#include "system/folders.h"
#include "system/lock.h"

int main(int argc, char **argv)
{
    InstallLayout layout;
    char digest_text[DIGEST_TEXT_BYTES];
    unsigned char copy_buffer[COPY_BUFFER_BYTES];
    int ok = 0;
    HANDLE lock = NULL;
    DownloadSession net;

    // Setup programs run from the Downloads folder, where a planted DLL must
    // never be loaded: DLLs come from the system folder only. The DLLs that
    // are not KnownDLLs (winhttp, bcrypt) are loaded by the routines that
    // use them, from the system folder as well.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    if (argc > 1 && strcmp(argv[1], "--selftest") == 0)
        return run_selftest();
    if (argc > 1 && strcmp(argv[1], "--uninstall") == 0)
        return run_removal(argc, argv);
    if (argc > 1 && strcmp(argv[1], "--layout") == 0)
        return run_offline_copy();
    begin_download_session(&net, USER_AGENT);
    console_title(L"Tarnwick - Olvenmark setup");

    printf("Tarnwick - Olvenmark, Title 1 - Setup\n");
    printf("============================================================\n");
    printf("This setup needs an internet connection once, to download the\n");
    printf("Python runtime (from python.org) and the course package (from\n");
    printf("the project's own site). Every download is verified by a\n");
    printf("checksum before anything is installed.\n\n");

    // Two setups on one profile would extract and swap the same folders.
    if (!take_setup_lock(SETUP_LOCK_NAME, &lock)) {
        printf("The setup is already running in another window.\n");
        goto done;
    }

    if (!find_layout(&layout)) {
        printf("Could not find your local application folder.\n");
        goto done;
    }

    mkdirs(layout.DownloadsDir);
    // Bytes on their way in for another release are never resumed here.
    delete_other_parts(layout.DownloadsDir, 1);

    // This release, or a newer one, installed: opened as it is.
    if (!installation_complete(&layout)) {
        // Windows cannot replace the files of a running course; nothing is
        // changed until it is closed.
        if (program_running(layout.PythonwExe)) {
            printf("Tarnwick is still open. Close it and run the setup again.\n");
            goto done;
        }
        clear_leftovers(&layout);
        if (!runtime_stage(&layout, &net, digest_text) || !course_stage(&layout, &net, digest_text, copy_buffer) ||
            !put_in_place(&layout))
            goto done;
    } else {
        clear_leftovers(&layout);
    }
    // The installed release is this setup's (not a newer one that it only
    // opens): its copy, its entry in Settings -> Apps and the parts in the
    // downloads folder are this setup's.
    if (marker_is_ours(&layout)) {
        register_installation(&layout);
        delete_other_parts(layout.DownloadsDir, 0);
    }
    forget_removal_copy();
    finish_setup(&layout);
    ok = 1;

done:
    // The work is done: a window left open for reading blocks no other run.
    release_setup_lock(lock);
    end_download_session(&net);
    pause_at_end(CLOSING_PROMPT);
    return ok ? 0 : 1;
}
