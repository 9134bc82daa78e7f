#include "setup/transfers.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "fetch/download.h"
#include "fetch/resume.h"
#include "fetch/sha256_file.h"
#include "pins.h"
#include "setup/artefact.h"
#include "setup/package.h"
#include "setup/stages.h"
#include "setup/swap.h"
#include "system/console.h"
#include "system/extract.h"
#include "system/files.h"
#include "system/log.h"

enum {
    // Transfers whose bytes are coming, and as many whose bytes are in and
    // are being checked.
    SLOTS = 2 * TRANSFERS_AT_ONCE,
    JOBS = PART_COUNT + 1,  // job 0 is the runtime, job n course part n
    COUNTER_MS = 250,       // the counter's redrawing
    COUNTER_CHARS = 96,
    TAG_CHARS = 24
};

// How a job's file is had, as its lines tell.
enum How { HOW_KEPT, HOW_COPY, HOW_DOWNLOAD, HOW_COPY_THEN_DOWNLOAD };
// What became of a job.
enum Outcome { OUT_PENDING, OUT_FILE, OUT_NOT_FETCHED, OUT_REFUSED };
// Where a job in advance stands.
enum Step { STEP_GO_ON, STEP_DONE, STEP_FAILED };
enum SlotState { SLOT_FREE, SLOT_TRANSFERRING, SLOT_SETTLING };

// One file on its way in, on a thread of its own. Main fills it before the
// thread starts and reads it after the thread ended; in between it is the
// thread's, but for the members marked.
struct Fetch {
    DownloadSession *net;
    Artefact artefact;
    wchar_t url[PART_URL_CHARS];
    char title[PART_TITLE_CHARS];
    WidePath dest;
    WidePath source;  // a verified file of the setup's folder to copy; empty: none
    wchar_t tag[TAG_CHARS];  // its lines in the log begin with it: "part 2: "
    char digest_text[DIGEST_TEXT_BYTES];
    int ok;           // dest is the verified file
    int refused;      // the download completed and failed its pin
    int copy_failed;  // the copy from the setup's folder failed: downloaded instead
    // Main's alone.
    int job;
    int counted;  // the job's size is in the counter's total
    SlotState state;
    HANDLE thread;
    unsigned long long started_at;
    // Set by the thread once no more bytes come; main waits on it.
    HANDLE fetched;
    // Written by the thread, read by main at any time.
    volatile LONG64 first;   // what the file held at the first answer; -1: none yet
    volatile LONG64 stored;  // what it holds now
    volatile LONG64 total;   // the body's size, once an answer said it; -1: not yet
    volatile LONG waiting;   // the seconds left of a wait to try again; 0: none
    // Written by main, read by the thread: stop at the next chunk.
    volatile LONG stop;
};

// One call of fetch_side_by_side, main's alone.
struct Fetching {
    InstallLayout *layout;
    const wchar_t *folder;
    int plan;
    DownloadSession *net;
    unsigned char *copy_buffer;
    int first_job, last_job;
    int next;       // the next job to start
    int cursor;     // the job whose lines and outcome come next, in order
    int announced;  // how many of the cursor's lines are printed
    signed char how[JOBS];
    signed char outcome[JOBS];
    Fetch slots[SLOTS];
    int transferring;               // slots whose bytes are coming
    int session_tried;              // the download session was opened, or tried
    int failed;                     // a job did not get its file: no more are started
    unsigned long long kept_bytes;  // of the jobs that ended with their file
    unsigned long long total;       // of the whole plan, as far as known
    int unknown_sizes;              // jobs whose size is not pinned nor known yet
    int extraction_begun;
    int extracting;  // tar runs
    Extraction tar;
    HANDLE package;  // being built; INVALID_HANDLE_VALUE: not (yet)
    int package_made;
    Sha256 digest;
    LiveLine line;
    RateMeter meter;
};

static LONG64 read_shared(volatile LONG64 *value)
{
    return InterlockedCompareExchange64(value, 0, 0);
}

// The watch of a transfer's download (on its thread).
static void note_stored(unsigned long long stored, unsigned long long total, int has_total, void *context)
{
    Fetch *f = (Fetch *)context;
    if (has_total)
        InterlockedExchange64(&f->total, (LONG64)total);
    InterlockedCompareExchange64(&f->first, (LONG64)stored, -1);
    InterlockedExchange64(&f->stored, (LONG64)stored);
    InterlockedExchange(&f->waiting, 0);
}

static void note_waiting(unsigned seconds, void *context)
{
    InterlockedExchange(&((Fetch *)context)->waiting, (LONG)seconds);
}

static int told_to_stop(void *context)
{
    return InterlockedCompareExchange(&((Fetch *)context)->stop, 0, 0) != 0;
}

// A transfer's thread: the copy or the download, then, with the bytes in
// (the connection free for the next file), the check and the rename.
static DWORD WINAPI fetch_thread(void *context)
{
    Fetch *f = (Fetch *)context;
    WidePath partial;
    DownloadWatch watch = {note_stored, note_waiting, f, told_to_stop, f->tag};

    if (f->source[0] != 0) {
        f->ok = copy_artefact(f->net, &f->artefact, f->source, f->dest, f->digest_text);
        f->copy_failed = !f->ok;
    }
    // Only main opens the session: a thread finds it open, or not at all.
    if (!f->ok && f->net->session != NULL && partial_path(partial, f->dest, f->artefact.sha256) &&
        download(f->net, f->artefact.url, partial, f->artefact.size, &watch)) {
        SetEvent(f->fetched);
        f->ok = settle_artefact(f->net, &f->artefact, partial, f->dest, f->digest_text, &f->refused);
    }
    SetEvent(f->fetched);
    return 0;
}

// The artefact of job with its URL and title in url and title (the
// caller's), its file in folder into dest (a WidePath). 1 when they fit.
static int job_artefact(Fetching *run, int job, wchar_t *url, char *title, wchar_t *dest, Artefact *artefact)
{
    InstallLayout *layout = run->layout;
    if (job == 0) {
        *artefact = Artefact{PYTHON_URL, PYTHON_SHA256, PYTHON_SIZE, "Python runtime"};
        return join_path(layout->RuntimeArchive, run->folder, RUNTIME_NAME) &&
               compose_path(dest, WIDE_PATH_CHARS, L"%ls", layout->RuntimeArchive);
    }
    return part_artefact(layout, run->folder, job, url, title, artefact) &&
           compose_path(dest, WIDE_PATH_CHARS, L"%ls", layout->PartFile);
}

// The pinned size of job's file; 0: not pinned.
static unsigned long long job_size(int job)
{
    return job == 0 ? PYTHON_SIZE : PART_SIZE[job - 1];
}

// The size of the verified file of job at path, for the counter.
static unsigned long long had_size(int job, const wchar_t *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (job_size(job) != 0 || !GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return job_size(job);
    return ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// A job whose size was not pinned: now known.
static void count_size(Fetching *run, int job, unsigned long long size)
{
    if (job_size(job) != 0)
        return;
    run->total += size;
    run->unknown_sizes--;
}

// Begins the next job: kept as it is, or a transfer on a thread in a free
// slot. 0 when no slot is free.
static int start_job(Fetching *run)
{
    int job = run->next;
    Fetch *f = NULL;

    for (int i = 0; i < SLOTS && f == NULL; i++) {
        if (run->slots[i].state == SLOT_FREE)
            f = &run->slots[i];
    }
    if (f == NULL)
        return 0;
    run->next++;
    run->how[job] = HOW_DOWNLOAD;
    run->outcome[job] = OUT_NOT_FETCHED;
    if (!job_artefact(run, job, f->url, f->title, f->dest, &f->artefact))
        return 1;
    if (file_matches_pin(f->dest, f->artefact.sha256, f->digest_text)) {
        log_note(run->net->log, L"kept %ls: it matches its pin", f->dest);
        run->how[job] = HOW_KEPT;
        run->outcome[job] = OUT_FILE;
        run->kept_bytes += had_size(job, f->dest);
        count_size(run, job, had_size(job, f->dest));
        return 1;
    }
    if (setup_folder_source(&f->artefact, run->layout->SetupDir, f->dest, f->source, f->digest_text))
        run->how[job] = HOW_COPY;
    else
        f->source[0] = 0;
    if (!run->session_tried) {
        run->session_tried = 1;
        if (!open_download_session(run->net))
            log_note(run->net->log, L"WinHTTP could not be opened (error %lu)", GetLastError());
    }
    if (job == 0)
        wcscpy(f->tag, L"runtime: ");
    else
        swprintf(f->tag, TAG_CHARS, L"part %d: ", job);
    f->net = run->net;
    f->ok = 0;
    f->refused = 0;
    f->copy_failed = 0;
    f->job = job;
    f->first = -1;
    f->stored = 0;
    f->total = -1;
    f->counted = job_size(job) != 0;
    f->waiting = 0;
    f->stop = 0;
    f->fetched = CreateEventW(NULL, TRUE, FALSE, NULL);
    f->thread = f->fetched != NULL ? CreateThread(NULL, 0, fetch_thread, f, 0, NULL) : NULL;
    if (f->thread == NULL) {
        log_note(run->net->log, L"no thread for %ls (error %lu)", f->dest, GetLastError());
        if (f->fetched != NULL)
            CloseHandle(f->fetched);
        return 1;
    }
    run->outcome[job] = OUT_PENDING;
    f->state = SLOT_TRANSFERRING;
    f->started_at = GetTickCount64();
    run->transferring++;
    log_note(run->net->log, L"%lstransfer started: %ls", f->tag, f->source[0] != 0 ? f->source : f->artefact.url);
    return 1;
}

// Takes the results of a slot whose thread has ended, and frees it.
static void end_slot(Fetching *run, Fetch *f)
{
    WaitForSingleObject(f->thread, INFINITE);
    unsigned long long ms = GetTickCount64() - f->started_at;
    LONG64 first = read_shared(&f->first);
    unsigned long long got = first >= 0 ? (unsigned long long)(read_shared(&f->stored) - first) : 0;

    if (f->state == SLOT_TRANSFERRING)
        run->transferring--;
    run->outcome[f->job] = f->ok ? OUT_FILE : f->refused ? OUT_REFUSED : OUT_NOT_FETCHED;
    if (f->copy_failed)
        run->how[f->job] = HOW_COPY_THEN_DOWNLOAD;
    if (f->ok) {
        run->kept_bytes += had_size(f->job, f->dest);
        if (!f->counted)
            count_size(run, f->job, had_size(f->job, f->dest));
    } else {
        run->failed = 1;
    }
    log_note(run->net->log, L"%lstransfer ended (%ls): %llu bytes in %llu ms, %llu KB/s", f->tag,
             f->ok ? L"verified" : f->refused ? L"failed its pin" : L"not complete", got, ms,
             ms > 0 ? got * 1000 / ms / 1024 : 0);
    CloseHandle(f->thread);
    CloseHandle(f->fetched);
    f->state = SLOT_FREE;
}

// Moves each slot on: one whose bytes are in frees its place for the next
// transfer; one whose thread has ended gives its results.
static void reap(Fetching *run)
{
    for (int i = 0; i < SLOTS; i++) {
        Fetch *f = &run->slots[i];
        if (f->state == SLOT_FREE)
            continue;
        if (WaitForSingleObject(f->thread, 0) == WAIT_OBJECT_0) {
            end_slot(run, f);
        } else if (f->state == SLOT_TRANSFERRING && WaitForSingleObject(f->fetched, 0) == WAIT_OBJECT_0) {
            f->state = SLOT_SETTLING;
            run->transferring--;
        }
    }
}

// Prints a line of the transcript: the counter goes first, and is drawn
// again below it.
static void say_line(Fetching *run, const char *format, ...)
{
    char text[COUNTER_CHARS * 2];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    live_line_end(&run->line);
    say(run->net->log, "%s", text);
}

// The counter of the whole plan on the line below the messages, or the
// wait of a link that is gone (every transfer waits to try again).
static void draw_counter(Fetching *run)
{
    unsigned long long done = run->kept_bytes;
    unsigned long long per_second = 0;
    unsigned wait = 0;
    int waiting = 0;
    int steady = 0;
    int has_rate = 0;
    long long left = -1;
    char text[COUNTER_CHARS];

    if (!run->line.on)
        return;
    for (int i = 0; i < SLOTS; i++) {
        Fetch *f = &run->slots[i];
        if (f->state == SLOT_FREE)
            continue;
        done += (unsigned long long)read_shared(&f->stored);
        if (!f->counted && read_shared(&f->total) >= 0) {
            f->counted = 1;
            count_size(run, f->job, (unsigned long long)read_shared(&f->total));
        }
        if (f->state == SLOT_TRANSFERRING) {
            unsigned seconds = (unsigned)InterlockedCompareExchange(&f->waiting, 0, 0);
            waiting += seconds > 0;
            if (seconds > 0 && (wait == 0 || seconds < wait))
                wait = seconds;
        }
    }
    if (run->transferring > 0 && waiting == run->transferring) {
        snprintf(text, sizeof(text), "  connection lost, trying again in %u s", wait);
        live_line_draw_now(&run->line, text);
        return;
    }
    rate_meter_add(&run->meter, GetTickCount64(), done);
    has_rate = rate_meter_read(&run->meter, &per_second, &steady);
    if (steady && per_second > 0 && run->unknown_sizes == 0 && run->total > done)
        left = (long long)((run->total - done + per_second - 1) / per_second);
    format_install_progress(text, sizeof(text), done, run->total, run->unknown_sizes == 0, has_rate, per_second,
                            left);
    live_line_draw(&run->line, text);
}

// The title of job in the progress lines, in title (PART_TITLE_CHARS).
static const char *job_title(int job, char *title)
{
    if (job == 0)
        return "Python runtime";
    snprintf(title, PART_TITLE_CHARS, "course part %d of %d", job, PART_COUNT);
    return title;
}

// The cursor's lines so far, as one file after the other prints them: a
// copy's line, and the download's once it is known that one was needed.
// Returns how many of the job's lines are printed.
static int announce(Fetching *run, int job, int printed)
{
    char title[PART_TITLE_CHARS];
    How how = (How)run->how[job];

    if (printed == 0 && (how == HOW_COPY || how == HOW_COPY_THEN_DOWNLOAD))
        say_line(run, "Copying %s from the setup's folder ...\n", job_title(job, title));
    if ((how == HOW_DOWNLOAD && printed == 0) || (how == HOW_COPY_THEN_DOWNLOAD && printed < 2))
        say_line(run, "Downloading %s ...\n", job_title(job, title));
    return how == HOW_COPY_THEN_DOWNLOAD ? 2 : 1;
}

// The runtime's extraction, begun once the runtime is verified.
static Step runtime_extracted(Fetching *run)
{
    InstallLayout *layout = run->layout;
    if (!run->extraction_begun) {
        run->extraction_begun = 1;
        say_line(run, "Extracting Python runtime ...\n");
        // Into a fresh folder: the installed runtime stays as it is until
        // the whole new release is there.
        if (discard_folder(layout, layout->PythonNew) &&
            start_extraction(&run->tar, layout->RuntimeArchive, layout->PythonNew, run->net->log)) {
            run->extracting = 1;
            return STEP_GO_ON;
        }
    } else if (run->extracting) {
        if (WaitForSingleObject(run->tar.process.hProcess, 0) != WAIT_OBJECT_0)
            return STEP_GO_ON;
        run->extracting = 0;
        if (finish_extraction(&run->tar, run->net->log) && file_exists(layout->NewPythonwExe))
            return STEP_DONE;
    }
    note_full_disk(run->net, layout->InstallRoot, layout->RuntimeArchive);
    say_line(run, RUNTIME_NOT_EXTRACTED);
    return STEP_FAILED;
}

// The lines of a job that did not get its file.
static void job_failed(Fetching *run, int job)
{
    if (job == 0 && run->outcome[job] == OUT_REFUSED)
        say_line(run, RUNTIME_REFUSED);
    else if (job == 0)
        say_line(run, RUNTIME_FAILED);
    if (job == 0)
        return;
    if (run->outcome[job] == OUT_REFUSED)
        say_line(run, PART_REFUSED, job);
    if (!(run->plan & FETCH_INSTALL))
        say_line(run, "The course download failed. Check your connection and run the setup again.\n");
}

// The package, once every part is in it: on disk, and its digest the pin.
static Step package_verified(Fetching *run)
{
    char digest_text[DIGEST_TEXT_BYTES];
    int flushed = FlushFileBuffers(run->package);

    if (!flushed)
        note_disk_full(run->net, GetLastError());
    CloseHandle(run->package);
    run->package = INVALID_HANDLE_VALUE;
    if (!sha256_end(&run->digest, digest_text) || !flushed)
        return STEP_FAILED;
    if (strcmp(digest_text, PAYLOAD_SHA256) != 0) {
        log_note(run->net->log, L"refused %ls: SHA-256 %hs, pinned %hs", run->layout->PayloadArchive, digest_text,
                 PAYLOAD_SHA256);
        return STEP_FAILED;
    }
    log_note(run->net->log, L"verified %ls (SHA-256 %hs)", run->layout->PayloadArchive, PAYLOAD_SHA256);
    return STEP_DONE;
}

// Takes the jobs' outcomes in order, printing their lines, from the cursor
// on as far as they are known.
static Step advance(Fetching *run)
{
    InstallLayout *layout = run->layout;
    int install = run->plan & FETCH_INSTALL;

    while (run->cursor <= run->last_job) {
        int job = run->cursor;
        if (!run->announced) {
            if (job >= run->next)
                return STEP_GO_ON;
            if (install && job > 0 && !run->package_made) {
                run->package = CreateFileW(layout->PayloadArchive, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, NULL);
                if (run->package == INVALID_HANDLE_VALUE) {
                    say_line(run, "Could not create the course package file.\n");
                    return STEP_FAILED;
                }
                run->package_made = 1;
                sha256_begin(&run->digest);
            }
            run->announced = announce(run, job, 0);
        }
        if (run->outcome[job] == OUT_PENDING)
            return STEP_GO_ON;
        // A copy that failed after its line: the download's line follows.
        run->announced = announce(run, job, run->announced);
        if (run->outcome[job] != OUT_FILE) {
            job_failed(run, job);
            return STEP_FAILED;
        }
        if (install && job == 0) {
            Step step = runtime_extracted(run);
            if (step != STEP_DONE)
                return step;
        } else if (install) {
            if (!part_path(layout, run->folder, job) ||
                !append_part(run->package, layout->PartFile, run->copy_buffer, &run->digest)) {
                note_disk_full(run->net, GetLastError());
                return STEP_FAILED;
            }
        }
        run->cursor++;
        run->announced = 0;
    }
    return install && (run->plan & FETCH_PARTS) ? package_verified(run) : STEP_DONE;
}

// Waits, at most COUNTER_MS, for a transfer's bytes, a thread's end or tar.
static void wait_for_work(Fetching *run)
{
    HANDLE handles[SLOTS + 1];
    DWORD count = 0;

    for (int i = 0; i < SLOTS; i++) {
        Fetch *f = &run->slots[i];
        if (f->state != SLOT_FREE)
            handles[count++] = f->state == SLOT_TRANSFERRING ? f->fetched : f->thread;
    }
    if (run->extracting)
        handles[count++] = run->tar.process.hProcess;
    if (count == 0)
        return;
    WaitForMultipleObjects(count, handles, FALSE, COUNTER_MS);
}

int fetch_side_by_side(InstallLayout *layout, const wchar_t *folder, int plan, DownloadSession *net,
                       char *digest_text, unsigned char *copy_buffer)
{
    Fetching run = {};
    Step step = STEP_GO_ON;

    run.layout = layout;
    run.folder = folder;
    run.plan = plan;
    run.net = net;
    run.copy_buffer = copy_buffer;
    run.first_job = (plan & FETCH_RUNTIME) ? 0 : 1;
    run.last_job = (plan & FETCH_PARTS) ? PART_COUNT : 0;
    run.next = run.first_job;
    run.cursor = run.first_job;
    run.package = INVALID_HANDLE_VALUE;
    for (int job = run.first_job; job <= run.last_job; job++) {
        run.total += job_size(job);
        run.unknown_sizes += job_size(job) == 0;
    }
    live_line_begin(&run.line);
    rate_meter_begin(&run.meter);

    while (step == STEP_GO_ON) {
        while (run.next <= run.last_job && !run.failed && run.transferring < TRANSFERS_AT_ONCE && start_job(&run))
            ;
        step = advance(&run);
        if (step == STEP_GO_ON) {
            wait_for_work(&run);
            reap(&run);
            draw_counter(&run);
        }
    }

    // What is still on its way stops at its next chunk, keeping its bytes.
    for (int i = 0; i < SLOTS; i++) {
        if (run.slots[i].state != SLOT_FREE)
            InterlockedExchange(&run.slots[i].stop, 1);
    }
    for (int i = 0; i < SLOTS; i++) {
        if (run.slots[i].state != SLOT_FREE)
            end_slot(&run, &run.slots[i]);
    }
    if (run.extracting)
        finish_extraction(&run.tar, net->log);
    live_line_end(&run.line);
    if (run.package != INVALID_HANDLE_VALUE) {
        CloseHandle(run.package);
        sha256_end(&run.digest, digest_text);
    }
    // Nothing half-built or unverified may stay for a later run to trust.
    if (run.package_made && step != STEP_DONE) {
        DeleteFileW(layout->PayloadArchive);
        say(net->log, PACKAGE_FAILED);
    }
    return step == STEP_DONE;
}
