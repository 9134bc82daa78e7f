#include "setup/artefact.h"

#include <stdio.h>
#include <windows.h>

#include "fetch/download.h"
#include "fetch/resume.h"
#include "fetch/sha256_file.h"
#include "system/console.h"
#include "system/files.h"

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

// A download with, on a console, a counter of what has arrived on the line
// below ("  12.4 of 48.0 MB (25 %)", from the bytes a partial file already
// holds), erased at the end.
static int download_with_counter(DownloadSession *net, const wchar_t *url, const wchar_t *dest,
                                 unsigned long long size)
{
    LiveLine line;
    live_line_begin(&line);
    int ok = download(net, url, dest, size, draw_counter, &line);
    live_line_end(&line);
    return ok;
}

// The copy from the setup's folder (see obtain_artefact). 1 when dest is a
// verified copy; 0 when the folder has no such file, it does not match its
// pin, or the copy failed (nothing of it left).
static int copy_from_setup_folder(const Artefact *artefact, const wchar_t *setup_dir, const wchar_t *dest,
                                  char *digest_text)
{
    WidePath source;
    WidePath partial;
    const wchar_t *name = wcsrchr(dest, L'\\');

    if (setup_dir[0] == 0 || name == NULL || !join_path(source, setup_dir, name + 1) ||
        !partial_path(partial, dest) || !file_matches_pin(source, artefact->sha256, digest_text))
        return 0;
    printf("Copying %s from the setup's folder ...\n", artefact->title);
    // What is used is the copy, so the copy is what is checked (the file
    // there may change meanwhile).
    if (copy_file(source, partial) && file_matches_pin(partial, artefact->sha256, digest_text) &&
        MoveFileExW(partial, dest, MOVEFILE_REPLACE_EXISTING))
        return 1;
    DeleteFileW(partial);
    return 0;
}

int obtain_artefact(DownloadSession *net, const Artefact *artefact, const wchar_t *setup_dir, const wchar_t *dest,
                    char *digest_text, ArtefactFailure *failure)
{
    if (file_matches_pin(dest, artefact->sha256, digest_text) ||
        copy_from_setup_folder(artefact, setup_dir, dest, digest_text))
        return 1;
    printf("Downloading %s ...\n", artefact->title);
    *failure = ARTEFACT_NOT_FETCHED;
    if (!download_with_counter(net, artefact->url, dest, artefact->size))
        return 0;
    if (!file_matches_pin(dest, artefact->sha256, digest_text)) {
        // What failed its pin goes, so that the next run starts clean.
        DeleteFileW(dest);
        *failure = ARTEFACT_REFUSED;
        return 0;
    }
    return 1;
}
