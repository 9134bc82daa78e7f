// zept-setup: installs the course Tarnwick (title 1 of Olvenmark) into the
// user's profile, with no questions and no administrator rights.

#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <shellapi.h>

#include "fetch/download.h"
#include "fetch/sha256_file.h"
#include "pins.h"
#include "setup/layout.h"
#include "setup/offline.h"
#include "setup/options.h"
#include "setup/package.h"
#include "setup/product.h"
#include "setup/register.h"
#include "setup/removal.h"
#include "setup/run.h"
#include "setup/selftest.h"
#include "setup/stages.h"
#include "setup/swap.h"
#include "system/console.h"
#include "system/folders.h"
#include "system/lock.h"
#include "system/log.h"

enum { PROBLEM_BYTES = 512 };

// The install: everything a run without a mode (or with --repair) does.
// Returns the exit code.
static int run_setup(const SetupOptions *options, RunLog *log)
{
    InstallLayout layout;
    char digest_text[DIGEST_TEXT_BYTES];
    unsigned char copy_buffer[COPY_BUFFER_BYTES];
    int code = 1;
    int complete = 0;
    int damage = 0;
    int unchecked = 0;
    int made = 0;  // the trees this run extracted afresh
    HANDLE lock = NULL;
    DownloadSession net;

    begin_download_session(&net, USER_AGENT, log);
    open_run(options, L"Tarnwick - Olvenmark setup",
             "Tarnwick - Olvenmark, Title 1 - Setup\n"
             "============================================================\n"
             "This setup needs an internet connection once, to download the\n"
             "Python runtime (from python.org) and the course package (from\n"
             "the project's own site). Every download is verified by a\n"
             "checksum before anything is installed.\n\n",
             log);
    if (!take_run_lock(&lock, log, &code))
        goto done;

    if (!find_layout(&layout)) {
        say(log, "Could not find your local application folder.\n");
        goto done;
    }
    log_note(log, L"install root %ls", layout.InstallRoot);

    mkdirs(layout.DownloadsDir);
    // Bytes on their way in for another release are never resumed here.
    delete_other_parts(layout.DownloadsDir, 1);

    // This release, or a newer one, installed: opened as it is, once this
    // release's files are found as its verified archives hold them.
    complete = installation_complete(&layout);
    if (complete) {
        log_note(log, L"installed already: %ls", layout.MarkerFile);
        // A newer release is not this setup's to check.
        if (!marker_is_ours(&layout))
            unchecked = TREE_RUNTIME | TREE_COURSE;
        else if (!find_damage(&layout, options->mode == MODE_REPAIR, &net, digest_text, copy_buffer, &damage,
                              &unchecked))
            goto done;
        if (damage)
            say(log, "Repairing Tarnwick ...\n");
        if (options->mode == MODE_REPAIR && !marker_is_ours(&layout))
            say(log, "A newer release of Tarnwick is installed; run its own setup with --repair to check it.\n");
        else if (options->mode == MODE_REPAIR && unchecked)
            say(log, "Some files of Tarnwick could not be checked; if the course does not start, remove it and "
                     "install it again.\n");
        else if (options->mode == MODE_REPAIR && !damage)
            say(log, "Every file of Tarnwick is in place.\n");
    }
    if (!complete || damage) {
        // Windows cannot replace the files of a running course; nothing is
        // changed until it is closed.
        if (program_running(layout.PythonwExe)) {
            say(log, "Tarnwick is still open. Close it and run the setup again.\n");
            code = ERROR_BUSY;
            goto done;
        }
        // A fresh folder's name that cannot be cleared is held by something
        // else: nothing may be made under it, or swapped in from it.
        if (!clear_leftovers(&layout, log)) {
            say(log, LEFT_AS_IT_WAS);
            code = ERROR_FAIL_REBOOT_REQUIRED;
            goto done;
        }
        // A repair extracts again only what is damaged, from the stored
        // archives: nothing is fetched that is stored and verified.
        made = complete ? damage : TREE_RUNTIME | TREE_COURSE;
        if (!install_trees(&layout, made, &net, digest_text, copy_buffer))
            goto done;
        if (!put_in_place(&layout, made, log, &code))
            goto done;
    } else {
        clear_leftovers(&layout, log);
    }
    // The installed release is this setup's (not a newer one that it only
    // opens): its copy, its entry in Settings -> Apps and the parts in the
    // downloads folder are this setup's. The parts are the course's store
    // (updates and repairs take theirs from it): the package built from
    // them goes once the course is in place.
    if (marker_is_ours(&layout)) {
        DeleteFileW(layout.PayloadArchive);
        delete_other_parts(layout.DownloadsDir, 0);
        register_installation(&layout, !complete || damage);
    }
    forget_removal_copy();
    finish_setup(&layout, options->quiet, log);
    // A repair that could not check everything has not done its job.
    code = options->mode == MODE_REPAIR && unchecked ? 1 : 0;

done:
    // A failure that a full disk caused is reported as one.
    if (code == 1 && net.disk_full)
        code = ERROR_DISK_FULL;
    end_download_session(&net);
    close_run(options, lock);
    return code;
}

// What a support person reads first: when, which setup (and whether it is
// the published file), on which Windows, asked to do what.
static void write_log_head(RunLog *log)
{
    typedef LONG(WINAPI * GetVersionFunction)(OSVERSIONINFOW *);
    SYSTEMTIME now;
    WidePath self;
    char digest_text[DIGEST_TEXT_BYTES] = "unreadable";
    OSVERSIONINFOW version;
    // Windows' own numbers: GetVersionEx answers what the manifest claims.
    GetVersionFunction get_version =
        (GetVersionFunction)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");

    GetLocalTime(&now);
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (get_version == NULL || get_version(&version) != 0)
        version.dwMajorVersion = 0;
    if (!program_path(self) || !sha256_file(self, digest_text))
        self[0] = 0;
    log_note(log, L"Tarnwick setup for course release %hs, run on %04u-%02u-%02u at %02u:%02u:%02u", COURSE_VERSION,
             now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    log_note(log, L"program %ls, SHA-256 %hs", self, digest_text);
    log_note(log, L"Windows %lu.%lu build %lu", version.dwMajorVersion, version.dwMinorVersion,
             version.dwBuildNumber);
    log_note(log, L"command line: %ls", GetCommandLineW());
}

// Opens the run's log: the file named by --log, or a new one in %TEMP%. 0
// only when the file named cannot be opened.
static int open_run_log(RunLog *log, const SetupOptions *options)
{
    WidePath temp;
    size_t n;

    if (options->log_file != NULL)
        return log_open(log, options->log_file, 0);
    // Without one the run goes on: a log never stops it.
    if (temp_path(temp, L"")) {
        n = wcslen(temp);
        if (n > 3 && temp[n - 1] == L'\\')
            temp[n - 1] = 0;
        log_open_dated(log, temp, LOG_PREFIX, LOGS_KEPT);
    }
    return 1;
}

int main(int argc, char **argv)
{
    int code = ERROR_INVALID_PARAMETER;
    int count = 0;
    wchar_t **args = NULL;
    SetupOptions options;
    RunLog log;
    char problem[PROBLEM_BYTES];

    log_none(&log);
    // Setup programs run from the Downloads folder, where a planted DLL must
    // never be loaded: DLLs come from the system folder only. The DLLs that
    // are not KnownDLLs (winhttp, bcrypt) are loaded by the routines that
    // use them, from the system folder as well.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    if (argc > 1 && strcmp(argv[1], "--selftest") == 0)
        return run_selftest();
    // The arguments as typed, in UTF-16: the ANSI arguments of main lose
    // the characters outside the code page (a folder, a log file).
    args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == NULL) {
        printf("The command line could not be read. %s\n", SETUP_USAGE);
        goto done;
    }
    // Nothing is touched for a command that is not understood.
    if (!read_options(count, args, &options, problem, sizeof(problem))) {
        printf("%s. %s\n", problem, SETUP_USAGE);
        goto done;
    }
    if (!open_run_log(&log, &options)) {
        printf("Could not create the log file; name one in a folder that exists (--log FILE).\n");
        code = ERROR_CANNOT_MAKE;
        goto done;
    }
    write_log_head(&log);
    // Intune's and SCCM's "System" context: a per-user setup there would
    // install into the system profile, for no learner.
    if (runs_as_service_account()) {
        say(&log, "Tarnwick is installed for one user and cannot be set up by the system account; run the setup "
                  "as the learner (in the user's context).\n");
        code = ERROR_NOT_SUPPORTED;
    } else if (options.mode == MODE_UNINSTALL) {
        code = run_removal(&options, &log);
    } else if (options.mode == MODE_LAYOUT) {
        code = run_offline_copy(&options, &log);
    } else {
        code = run_setup(&options, &log);
    }
    log_note(&log, L"exit code %d", code);

done:
    log_close(&log);
    if (args != NULL)
        LocalFree(args);
    return code;
}
