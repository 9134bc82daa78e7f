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
    DownloadWatch watch = {draw_counter, draw_waiting, &line, NULL, NULL};
    int ok = download(net, url, temp, size, &watch);
    live_line_end(&line);
    return ok;
}

int settle_artefact(DownloadSession *net, const Artefact *artefact, const wchar_t *temp, const wchar_t *dest,
                    char *digest_text, int *refused)
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
        note_disk_full(net, error);
        return 0;
    }
    log_note(log, L"verified %ls (SHA-256 %hs)", dest, artefact->sha256);
    return 1;
}

int setup_folder_source(const Artefact *artefact, const wchar_t *setup_dir, const wchar_t *dest, wchar_t *source,
                        char *digest_text)
{
    const wchar_t *name = wcsrchr(dest, L'\\');
    return setup_dir[0] != 0 && name != NULL && join_path(source, setup_dir, name + 1) &&
           file_matches_pin(source, artefact->sha256, digest_text);
}

int copy_artefact(DownloadSession *net, const Artefact *artefact, const wchar_t *source, const wchar_t *dest,
                  char *digest_text)
{
    WidePath temp;
    int refused = 0;

    if (!copying_path(temp, dest))
        return 0;
    log_note(net->log, L"copy of %ls", source);
    // What is used is the copy, so the copy is what is checked (the file
    // there may change meanwhile).
    if (!copy_file(source, temp)) {
        DWORD error = GetLastError();
        log_note(net->log, L"the copy failed (error %lu)", error);
        note_disk_full(net, error);
    } else if (settle_artefact(net, artefact, temp, dest, digest_text, &refused)) {
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
    WidePath source;
    int refused = 0;

    if (file_matches_pin(dest, artefact->sha256, digest_text)) {
        log_note(net->log, L"kept %ls: it matches its pin", dest);
        return 1;
    }
    if (setup_folder_source(artefact, setup_dir, dest, source, digest_text)) {
        say(net->log, "Copying %s from the setup's folder ...\n", artefact->title);
        if (copy_artefact(net, artefact, source, dest, digest_text))
            return 1;
    }
    say(net->log, "Downloading %s ...\n", artefact->title);
    *failure = ARTEFACT_NOT_FETCHED;
    if (!partial_path(partial, dest, artefact->sha256) ||
        !download_with_counter(net, artefact->url, partial, artefact->size))
        return 0;
    if (settle_artefact(net, artefact, partial, dest, digest_text, &refused))
        return 1;
    // What failed its pin is gone, so that the next run starts clean.
    if (refused)
        *failure = ARTEFACT_REFUSED;
    return 0;
}
