#include "setup/offline.h"

#include <stdio.h>
#include <windows.h>

#include "fetch/download.h"
#include "fetch/sha256_file.h"
#include "pins.h"
#include "setup/layout.h"
#include "setup/package.h"
#include "setup/product.h"
#include "setup/run.h"
#include "setup/stages.h"
#include "setup/transfers.h"
#include "system/console.h"
#include "system/files.h"
#include "system/log.h"
#include "system/lock.h"

#define NOT_WRITABLE "Could not write to that folder; choose a folder you can write to and run the setup again.\n"

int run_offline_copy(const SetupOptions *options, RunLog *log)
{
    int ok = 0;
    int code = 1;
    int copying = 0;
    HANDLE lock = NULL;
    InstallLayout layout;
    WidePath folder;
    WidePath self;
    WidePath setup_file;
    WidePath setup_new;
    char digest_text[DIGEST_TEXT_BYTES];
    unsigned char copy_buffer[COPY_BUFFER_BYTES];
    DownloadSession net;
    DWORD n = 0;

    begin_download_session(&net, USER_AGENT, log);
    open_run(options, L"Tarnwick - Olvenmark offline copy",
             "Tarnwick - Olvenmark, Title 1 - Offline copy\n"
             "============================================================\n"
             "This copies the setup and everything it installs (the Python\n"
             "runtime and the course package) into one folder. A setup\n"
             "started from that folder installs the course without\n"
             "downloading it again. Every file is verified by a checksum,\n"
             "here and again on each PC.\n\n",
             log);

    n = GetFullPathNameW(options->folder, WIDE_PATH_CHARS, folder, NULL);
    if (n == 0 || n >= WIDE_PATH_CHARS) {
        say(log, NOT_WRITABLE);
        goto done;
    }
    if (!find_layout(&layout)) {
        say(log, "Could not find your local application folder.\n");
        goto done;
    }
    // A removal deletes the install root with everything in it.
    if (path_within(folder, layout.InstallRoot)) {
        say(log, "The offline copy cannot go into Tarnwick's own folder, which a removal deletes; choose another "
                 "folder.\n");
        goto done;
    }
    if (!take_run_lock(&lock, log, &code))
        goto done;

    if (!program_path(self) || !join_path(setup_file, folder, L"zept-setup.exe") ||
        !join_path(setup_new, folder, L"zept-setup.new")) {
        say(log, NOT_WRITABLE);
        goto done;
    }
    mkdirs(folder);
    // This setup first, under a name nobody starts: it shows that the folder
    // takes files before anything is downloaded. Run from the folder itself,
    // it is there already.
    copying = CompareStringOrdinal(self, -1, setup_file, -1, TRUE) != CSTR_EQUAL;
    if (copying && !copy_file(self, setup_new)) {
        say(log, NOT_WRITABLE);
        goto done;
    }
    // The files go into the folder under the names they have in the
    // downloads folder, where a setup started from there looks for them.
    if (!fetch_side_by_side(&layout, folder, FETCH_RUNTIME | FETCH_PARTS, &net, digest_text, copy_buffer))
        goto done;
    // Last, so that a folder with a setup in it has what the setup needs.
    if (copying && !make_final(setup_new, setup_file)) {
        say(log, NOT_WRITABLE);
        goto done;
    }
    say(log, "\nThe offline copy is ready: copy the whole folder to a USB stick or a network share, and start "
             "zept-setup.exe from there on each PC.\n");
    ok = 1;

done:
    if (!ok && net.disk_full)
        code = ERROR_DISK_FULL;
    if (copying && !ok)
        DeleteFileW(setup_new);
    end_download_session(&net);
    close_run(options, lock);
    return ok ? 0 : code;
}
