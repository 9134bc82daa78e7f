#include "setup/artefact.h"

#include <stdio.h>
#include <windows.h>

#include "fetch/download.h"
#include "fetch/resume.h"
#include "fetch/sha256_file.h"
#include "system/console.h"
#include "system/files.h"
#include "system/log.h"

enum { COUNTER_CHARS = 64 };

static void draw_counter(unsigned long long stored, unsigned long long total, int has_total, void *context)
{
    LiveLine *line = (LiveLine *)context;
    char text[COUNTER_CHARS];
    if (!line->on)
        return;
    format_progress(text, sizeof(text), stored, total, has_total);
    live_line_draw(line, text);
}

static void draw_waiting(unsigned seconds, void *context)
{
    LiveLine *line = (LiveLine *)context;
    char text[COUNTER_CHARS];
    if (!line->on)
        return;
    snprintf(text, sizeof(text), "  connection lost, trying again in %u s", seconds);
    live_line_draw_now(line, text);
}

// A download into temp with, on a console, a counter of what has arrived
// on the line below ("  12.4 of 48.0 MB (25 %)", from the bytes an earlier
// run stored included), or the wait before the next try, erased at the end.
static int download_with_counter(DownloadSession *net, const wchar_t *url, const wchar_t *temp,
                                 unsigned long long size)
{
    LiveLine line;
    live_line_begin(&line);
    DownloadWatch watch = {draw_counter, draw_waiting, &line};
    int ok = download(net, url, temp, size, &watch);
    live_line_end(&line);
    return ok;
}

// Makes the finished file temp the artefact at dest, only when it matches
// its pin. 1 when dest is the verified file. 0 otherwise: a temp that
// failed its pin is deleted (*refused 1), one that could not be renamed is
// kept (a full disk noted in net); dest is as it was.
static int settle(const Artefact *artefact, const wchar_t *temp, const wchar_t *dest, char *digest_text,
                  int *refused, DownloadSession *net)
{
    RunLog *log = net->log;
    *refused = 0;
    digest_text[0] = 0;
    if (!file_matches_pin(temp, artefact->sha256, digest_text)) {
        log_note(log, L"refused %ls: SHA-256 %hs, pinned %hs", temp,
                 digest_text[0] != 0 ? digest_text : "unreadable", artefact->sha256);
        DeleteFileW(temp);
        *refused = 1;
        return 0;
    }
    if (!make_final(temp, dest)) {
        DWORD error = GetLastError();
        log_note(log, L"could not make %ls final (error %lu)", dest, error);
        net->disk_full |= disk_full_error(error);
        return 0;
    }
    log_note(log, L"verified %ls (SHA-256 %hs)", dest, artefact->sha256);
    return 1;
}

// The copy from the setup's folder (see obtain_artefact). 1 when dest is a
// verified copy; 0 when the folder has no such file, it does not match its
// pin, or the copy failed (nothing of it left; a full disk noted in net).
static int copy_from_setup_folder(const Artefact *artefact, const wchar_t *setup_dir, const wchar_t *dest,
                                  char *digest_text, DownloadSession *net)
{
    RunLog *log = net->log;
    WidePath source;
    WidePath temp;
    int refused = 0;
    const wchar_t *name = wcsrchr(dest, L'\\');

    if (setup_dir[0] == 0 || name == NULL || !join_path(source, setup_dir, name + 1) ||
        !copying_path(temp, dest) || !file_matches_pin(source, artefact->sha256, digest_text))
        return 0;
    say(log, "Copying %s from the setup's folder ...\n", artefact->title);
    log_note(log, L"copy of %ls", source);
    // What is used is the copy, so the copy is what is checked (the file
    // there may change meanwhile).
    if (!copy_file(source, temp)) {
        DWORD error = GetLastError();
        log_note(log, L"the copy failed (error %lu)", error);
        net->disk_full |= disk_full_error(error);
    } else if (settle(artefact, temp, dest, digest_text, &refused, net)) {
        return 1;
    }
    DeleteFileW(temp);
    return 0;
}

int copying_path(wchar_t *out, const wchar_t *dest)
{
    return compose_path(out, WIDE_PATH_CHARS, L"%ls.copying", dest);
}

int obtain_artefact(DownloadSession *net, const Artefact *artefact, const wchar_t *setup_dir, const wchar_t *dest,
                    char *digest_text, ArtefactFailure *failure)
{
    WidePath partial;
    int refused = 0;

    if (file_matches_pin(dest, artefact->sha256, digest_text)) {
        log_note(net->log, L"kept %ls: it matches its pin", dest);
        return 1;
    }
    if (copy_from_setup_folder(artefact, setup_dir, dest, digest_text, net))
        return 1;
    say(net->log, "Downloading %s ...\n", artefact->title);
    *failure = ARTEFACT_NOT_FETCHED;
    if (!partial_path(partial, dest, artefact->sha256) ||
        !download_with_counter(net, artefact->url, partial, artefact->size))
        return 0;
    if (settle(artefact, partial, dest, digest_text, &refused, net))
        return 1;
    // What failed its pin is gone, so that the next run starts clean.
    if (refused)
        *failure = ARTEFACT_REFUSED;
    return 0;
}
