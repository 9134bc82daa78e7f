#include "fetch/download.h"

#include "fetch/resume.h"
#include "system/dll.h"
#include "system/files.h"
#include "system/log.h"

enum {
    TRANSFER_CHUNK = 65536, HOST_CHARS = SESSION_HOST_CHARS, URL_PATH_CHARS = 2048, HEADER_CHARS = 96,
    // A call receives at most this many times the body's known size.
    BUDGET_TIMES = 10,
    // Windows' own defaults, stated: no bound on resolving the name, a
    // minute to connect, half a minute for each send and each receive.
    RESOLVE_TIMEOUT_MS = 0, CONNECT_TIMEOUT_MS = 60000, SEND_TIMEOUT_MS = 30000, RECEIVE_TIMEOUT_MS = 30000,
    // Each half minute of a body is judged by its rate (rate_counts of
    // fetch/resume.h): a try without progress when too slow, however it grows.
    SLOW_WINDOW_MS = 30000
};

// While no size is known, a call receives at most this much.
static const unsigned long long UNSIZED_BUDGET = 1ULL << 30;


static int bind_winhttp(HMODULE dll, WinHttpApi *api)
{
    return bind_function(dll, "WinHttpCrackUrl", &api->CrackUrl) &&
           bind_function(dll, "WinHttpOpen", &api->Open) &&
           bind_function(dll, "WinHttpSetTimeouts", &api->SetTimeouts) &&
           bind_function(dll, "WinHttpSetOption", &api->SetOption) &&
           bind_function(dll, "WinHttpConnect", &api->Connect) &&
           bind_function(dll, "WinHttpOpenRequest", &api->OpenRequest) &&
           bind_function(dll, "WinHttpSendRequest", &api->SendRequest) &&
           bind_function(dll, "WinHttpReceiveResponse", &api->ReceiveResponse) &&
           bind_function(dll, "WinHttpQueryHeaders", &api->QueryHeaders) &&
           bind_function(dll, "WinHttpQueryDataAvailable", &api->QueryDataAvailable) &&
           bind_function(dll, "WinHttpReadData", &api->ReadData) &&
           bind_function(dll, "WinHttpCloseHandle", &api->CloseHandle);
}

// The text of header (a WINHTTP_QUERY_ value) into text (HEADER_CHARS). 0
// when the response has none or a longer one.
static int header_text(const WinHttpApi *api, HINTERNET request, DWORD header, wchar_t *text)
{
    DWORD size = HEADER_CHARS * sizeof(wchar_t);
    return api->QueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, text, &size, WINHTTP_NO_HEADER_INDEX);
}

// Content-Length as a number; 0 when the response declares none (chunked or
// closed by the server) or declares something that is not a plain number.
static int declared_length(const WinHttpApi *api, HINTERNET request, unsigned long long *length)
{
    wchar_t text[HEADER_CHARS];
    const wchar_t *p = text;
    unsigned long long value = 0;
    if (!header_text(api, request, WINHTTP_QUERY_CONTENT_LENGTH, text) || !read_decimal(&p, &value) || *p != 0)
        return 0;
    *length = value;
    return 1;
}

static int file_size(HANDLE file, unsigned long long *size)
{
    LARGE_INTEGER now;
    if (!GetFileSizeEx(file, &now))
        return 0;
    *size = (unsigned long long)now.QuadPart;
    return 1;
}

// Makes the open file hold its first size bytes, the file pointer at its
// end (a file of that size already is not cut).
static int cut_to(HANDLE file, unsigned long long size)
{
    LARGE_INTEGER at;
    unsigned long long now = 0;
    at.QuadPart = (LONGLONG)size;
    return file_size(file, &now) && SetFilePointerEx(file, at, NULL, FILE_BEGIN) && (now == size || SetEndOfFile(file));
}

// What one call works with, shared by its tries.
struct Transfer {
    const WinHttpApi *api;
    const wchar_t *url;
    const wchar_t *tag;          // before each line of the log
    HINTERNET connection;
    const wchar_t *path;         // of the URL
    DWORD secure;                // WINHTTP_FLAG_SECURE or 0
    HANDLE file;                 // open for reading and writing
    unsigned long long size;     // pinned size, 0: none
    unsigned long long budget;   // what the call may still receive
    int sized;                   // the budget is set from a known size
    const DownloadWatch *watch;
    unsigned char *buffer;       // TRANSFER_CHUNK bytes
    unsigned long long progress_at;  // tick count of the call's last progress (or its start)
    unsigned long long server_wait;  // the last answer's Retry-After in seconds; 0: none
    int slow;                        // the last try's body came too slowly to count
    int stopped;                     // the watch said to stop
    int disk_full;                   // a write found the disk full
};

// How one request ended.
enum TryEnd {
    TRY_TAKE,        // (an answer's judgement) its body continues the file
    TRY_COMPLETE,    // the file holds the whole body
    TRY_BROKEN,      // no answer, or the body ended early: the bytes that came stay
    TRY_START_OVER,  // the answer did not continue the file, now emptied
    TRY_BUSY,        // the server said to try again later (500, 502, 503, 504, 429)
    TRY_FAILED       // an answer that is not the file, or a write that failed
};

// How each end reads in the log.
static const wchar_t *const TRY_NAMES[] = {L"taken", L"complete", L"broken off", L"not a continuation: start over",
                                           L"the server is busy: try again later", L"refused"};

// 1 for the statuses with which a server says that it cannot answer now.
static int temporary_status(DWORD status)
{
    return status == 500 || status == 502 || status == 503 || status == 504 || status == 429;
}

// Notes an answer's status and the headers that say what its body is.
static void note_answer(RunLog *log, const wchar_t *tag, const WinHttpApi *api, HINTERNET request)
{
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    wchar_t length[HEADER_CHARS];
    wchar_t range[HEADER_CHARS];

    api->QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &status, &status_size, WINHTTP_NO_HEADER_INDEX);
    if (!header_text(api, request, WINHTTP_QUERY_CONTENT_LENGTH, length))
        wcscpy(length, L"none");
    if (!header_text(api, request, WINHTTP_QUERY_CONTENT_RANGE, range))
        wcscpy(range, L"none");
    log_note(log, L"%lsHTTP %lu, Content-Length: %ls, Content-Range: %ls", tag, status, length, range);
}

// Where an answer's body goes: from offset start of the file, up to end
// when the answer says where the body ends (has_end).
struct Answer {
    unsigned long long start;
    unsigned long long end;
    int has_end;
};

// Judges the answer to a request made while the file held have bytes, from
// its status and headers. TRY_TAKE with *answer set, or how the try ends.
static TryEnd judge_answer(const Transfer *t, HINTERNET request, unsigned long long have, Answer *answer)
{
    const WinHttpApi *api = t->api;
    unsigned long long expected = 0;
    unsigned long long first = 0;
    unsigned long long last = 0;
    unsigned long long total = 0;
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    wchar_t text[HEADER_CHARS];
    int has_length = 0;

    api->QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &status, &status_size, WINHTTP_NO_HEADER_INDEX);
    has_length = declared_length(api, request, &expected);
    answer->start = 0;
    answer->end = 0;
    answer->has_end = 0;
    if (status == 206 && have > 0) {
        // Taken only where it continues the file exactly.
        if (!header_text(api, request, WINHTTP_QUERY_CONTENT_RANGE, text) ||
            !parse_content_range(text, &first, &last, &total) || first != have || last + 1 != total ||
            (t->size != 0 && total != t->size) || (has_length && expected != total - have))
            return TRY_START_OVER;
        answer->start = have;
        answer->end = total;
        answer->has_end = 1;
        return TRY_TAKE;
    }
    if (status == 416 && have > 0) {
        // Nothing lies beyond what is here: the file is whole when the
        // server's size is the file's own, else it is not this file.
        if (header_text(api, request, WINHTTP_QUERY_CONTENT_RANGE, text) && parse_whole_size(text, &total) &&
            total == have && t->size == 0)
            return TRY_COMPLETE;
        return TRY_START_OVER;
    }
    if (temporary_status(status))
        return TRY_BUSY;
    if (status != 200)
        return TRY_FAILED;
    // A declared length that the pinned size contradicts is not the file:
    // not one byte of it is taken.
    if (t->size != 0 && has_length && expected != t->size)
        return TRY_FAILED;
    answer->end = expected;
    answer->has_end = has_length;
    return TRY_TAKE;
}

// Stores the body of a taken answer from answer->start on. TRY_COMPLETE
// when the file then holds the whole body; TRY_BROKEN when the body ended
// early (or its end cannot be known); TRY_FAILED when it grew past the
// pinned size (the file emptied), past the call's budget, or a write failed.
static TryEnd store_body(Transfer *t, HINTERNET request, const Answer *answer)
{
    const WinHttpApi *api = t->api;
    const DownloadWatch *watch = t->watch;
    unsigned long long stored = answer->start;
    unsigned long long total = t->size != 0 ? t->size : answer->end;
    int has_total = t->size != 0 || answer->has_end;
    unsigned long long window_at = GetTickCount64();
    unsigned long long window_from = stored;

    // A 200 is the whole file, from its first byte.
    if (!cut_to(t->file, answer->start))
        return TRY_FAILED;
    if (!t->sized && has_total) {
        t->budget = BUDGET_TIMES * total + TRANSFER_CHUNK;
        t->sized = 1;
    }
    if (watch->progress != NULL)
        watch->progress(stored, total, has_total, watch->context);
    for (;;) {
        DWORD available = 0;
        if (!api->QueryDataAvailable(request, &available))
            return TRY_BROKEN;
        if (available == 0)
            break;
        while (available > 0) {
            DWORD got = 0;
            DWORD put = 0;
            DWORD want = available < (DWORD)TRANSFER_CHUNK ? available : (DWORD)TRANSFER_CHUNK;
            // Announced bytes that never come would loop forever.
            if (!api->ReadData(request, t->buffer, want, &got) || got == 0)
                return TRY_BROKEN;
            if (got > t->budget)
                return TRY_FAILED;
            t->budget -= got;
            // More than the pinned size is not the file: what this answer
            // brought is dropped, and nothing beyond the size is kept.
            if (t->size != 0 && stored + got > t->size) {
                cut_to(t->file, 0);
                return TRY_FAILED;
            }
            // A write cut short goes on with the rest, so that what refused
            // it (a full disk) is what the error says.
            for (DWORD done = 0; done < got; done += put) {
                if (!WriteFile(t->file, t->buffer + done, got - done, &put, NULL) || put == 0) {
                    t->disk_full = disk_full_error(GetLastError());
                    return TRY_FAILED;
                }
            }
            stored += got;
            if (watch->progress != NULL)
                watch->progress(stored, total, has_total, watch->context);
            if (watch->stopped != NULL && watch->stopped(watch->context)) {
                t->stopped = 1;
                return TRY_FAILED;
            }
            available = got < available ? available - got : 0;
            // A host that trickles holds the download for as long as it
            // likes: each half minute must bring its share, and so must the
            // part of one in which the call's time without progress runs out.
            unsigned long long now = GetTickCount64();
            int window_over = now - window_at >= SLOW_WINDOW_MS;
            if (window_over || now - t->progress_at > IDLE_LIMIT_SECONDS * 1000ULL) {
                if (!rate_counts(stored - window_from, now - window_at)) {
                    t->slow = 1;
                    return TRY_BROKEN;
                }
                t->progress_at = now;
            }
            if (window_over) {
                window_at = now;
                window_from = stored;
            }
        }
    }
    // Some stacks report a connection lost mid-body as a normal end of body:
    // only a body whose end is known, and reached, is whole.
    return has_total && stored == total ? TRY_COMPLETE : TRY_BROKEN;
}

// One request for what the file lacks: the whole file when it is empty,
// else "Range: bytes=N-" with N its size.
static TryEnd fetch_rest(Transfer *t, DownloadSession *net, int *answered)
{
    TryEnd end = TRY_FAILED;
    const WinHttpApi *api = t->api;
    HINTERNET request = NULL;
    unsigned long long have = 0;
    unsigned long long idle = GetTickCount64() - t->progress_at;
    // What is left of the time a call may go without progress bounds each
    // wait of this try (connect, send, receive) as well.
    int left_ms = idle < IDLE_LIMIT_SECONDS * 1000ULL ? (int)(IDLE_LIMIT_SECONDS * 1000ULL - idle) : 1;
    Answer answer;
    wchar_t range[HEADER_CHARS];
    wchar_t retry_after[HEADER_CHARS];
    FILETIME utc;
    ULARGE_INTEGER utc_ticks;

    t->server_wait = 0;
    t->slow = 0;

    if (!file_size(t->file, &have))
        goto done;
    // More than the pinned size cannot be the file; exactly that size is
    // complete (a run killed before the file was made final), and its
    // digest will say.
    if (t->size != 0 && have > t->size) {
        if (!cut_to(t->file, 0))
            goto done;
        have = 0;
    }
    if (t->size != 0 && have == t->size) {
        end = TRY_COMPLETE;
        goto done;
    }

    request = api->OpenRequest(t->connection, L"GET", t->path, NULL, WINHTTP_NO_REFERER,
                               WINHTTP_DEFAULT_ACCEPT_TYPES, t->secure);
    if (request == NULL)
        goto done;
    if (!api->SetTimeouts(request, RESOLVE_TIMEOUT_MS, left_ms < CONNECT_TIMEOUT_MS ? left_ms : CONNECT_TIMEOUT_MS,
                          left_ms < SEND_TIMEOUT_MS ? left_ms : SEND_TIMEOUT_MS,
                          left_ms < RECEIVE_TIMEOUT_MS ? left_ms : RECEIVE_TIMEOUT_MS))
        goto done;
    // The first request of a download carries nothing of ours.
    if (have > 0 && !compose_path(range, HEADER_CHARS, L"Range: bytes=%llu-", have))
        goto done;
    end = TRY_BROKEN;
    log_note(net->log, L"%lsGET %ls%ls%ls", t->tag, t->url, have > 0 ? L"  " : L"", have > 0 ? range : L"");
    if (!api->SendRequest(request, have > 0 ? range : WINHTTP_NO_ADDITIONAL_HEADERS, have > 0 ? (DWORD)-1L : 0,
                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !api->ReceiveResponse(request, NULL)) {
        log_note(net->log, L"%lsno answer (error %lu)", t->tag, GetLastError());
        goto done;
    }
    *answered = 1;
    note_answer(net->log, t->tag, api, request);
    end = judge_answer(t, request, have, &answer);
    if (end == TRY_BUSY && header_text(api, request, WINHTTP_QUERY_RETRY_AFTER, retry_after)) {
        GetSystemTimeAsFileTime(&utc);
        utc_ticks.LowPart = utc.dwLowDateTime;
        utc_ticks.HighPart = utc.dwHighDateTime;
        if (!parse_retry_after(retry_after, utc_ticks.QuadPart, &t->server_wait))
            t->server_wait = 0;
    }
    if (end == TRY_START_OVER && !cut_to(t->file, 0))
        end = TRY_FAILED;
    if (end == TRY_TAKE) {
        unsigned long long now = 0;
        end = store_body(t, request, &answer);
        DWORD error = end == TRY_COMPLETE ? 0 : GetLastError();
        file_size(t->file, &now);
        log_note(net->log, L"%ls%ls%ls after %llu bytes of body: the file holds %llu (error %lu)", t->tag, TRY_NAMES[end],
                 t->slow ? L" (too slow to count)" : t->stopped ? L" (stopped)" : L"",
                 now > answer.start ? now - answer.start : 0, now, error);
    } else {
        log_note(net->log, L"%ls%ls", t->tag, TRY_NAMES[end]);
    }

done:
    if (request != NULL)
        api->CloseHandle(request);
    return end;
}

void begin_download_session(DownloadSession *net, const wchar_t *user_agent, RunLog *log)
{
    net->user_agent = user_agent;
    net->log = log;
    net->dll = NULL;
    net->api = WinHttpApi();
    net->session = NULL;
    net->answered_count = 0;
    net->disk_full = 0;
    InitializeCriticalSection(&net->hosts_lock);
}

void note_disk_full(DownloadSession *net, unsigned long error)
{
    if (disk_full_error(error))
        InterlockedExchange(&net->disk_full, 1);
}

// The index of host (with its port) in the session's table of hosts that
// have answered; -1 when it has none there. The caller holds the lock.
static int answered_index(const DownloadSession *net, const wchar_t *host, INTERNET_PORT port)
{
    for (int i = 0; i < net->answered_count; i++) {
        if (net->answered_port[i] == port && _wcsicmp(net->answered_host[i], host) == 0)
            return i;
    }
    return -1;
}

// 1 when host has answered some request of the session.
static int host_answered(DownloadSession *net, const wchar_t *host, INTERNET_PORT port)
{
    EnterCriticalSection(&net->hosts_lock);
    int answered = answered_index(net, host, port) >= 0;
    LeaveCriticalSection(&net->hosts_lock);
    return answered;
}

// Notes that host answered. A table that is full keeps its first hosts:
// another then only loses the quick end of a host that is not there.
static void note_answered(DownloadSession *net, const wchar_t *host, INTERNET_PORT port)
{
    EnterCriticalSection(&net->hosts_lock);
    if (answered_index(net, host, port) < 0 && net->answered_count < SESSION_HOSTS) {
        wcscpy(net->answered_host[net->answered_count], host);
        net->answered_port[net->answered_count++] = port;
    }
    LeaveCriticalSection(&net->hosts_lock);
}

// Closes what was opened, leaving the session empty but usable.
static void close_session(DownloadSession *net)
{
    if (net->session != NULL)
        net->api.CloseHandle(net->session);
    if (net->dll != NULL)
        FreeLibrary(net->dll);
    net->session = NULL;
    net->dll = NULL;
    net->api = WinHttpApi();
}

void end_download_session(DownloadSession *net)
{
    close_session(net);
    DeleteCriticalSection(&net->hosts_lock);
}

int open_download_session(DownloadSession *net)
{
    int ok = 0;
    DWORD receive_response_ms = RECEIVE_TIMEOUT_MS;

    if (net->session != NULL)
        return 1;
    net->dll = load_system_dll(L"winhttp.dll");
    if (net->dll == NULL || !bind_winhttp(net->dll, &net->api))
        goto done;
    // Automatic proxy: the user's and the organisation's proxy settings
    // (manual, PAC script, auto-detection) apply, not only the machine-wide
    // WinHTTP one.
    net->session = net->api.Open(net->user_agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0);
    if (net->session == NULL)
        goto done;
    // Windows' own time-outs, stated. Wine's WinHTTP applies none of them to
    // the wait for a response's headers: a server that accepts and never
    // answers would hold the setup for ever. The same half minute as any
    // receive, stated for that wait.
    if (!net->api.SetTimeouts(net->session, RESOLVE_TIMEOUT_MS, CONNECT_TIMEOUT_MS, SEND_TIMEOUT_MS,
                              RECEIVE_TIMEOUT_MS) ||
        !net->api.SetOption(net->session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive_response_ms,
                            sizeof(receive_response_ms)))
        goto done;
    ok = 1;

done:
    if (!ok)
        close_session(net);
    return ok;
}

// 1 when the watcher says to stop.
static int told_to_stop(const DownloadWatch *watch)
{
    return watch->stopped != NULL && watch->stopped(watch->context);
}

// Waits seconds before the next try, telling the watcher each second. 0
// when the watcher said to stop instead.
static int wait_to_retry(const DownloadWatch *watch, unsigned seconds)
{
    for (unsigned left = seconds; left > 0; left--) {
        if (told_to_stop(watch))
            return 0;
        if (watch->waiting != NULL)
            watch->waiting(left, watch->context);
        Sleep(1000);
    }
    return 1;
}

int download(DownloadSession *net, const wchar_t *url, const wchar_t *path, unsigned long long size,
             const DownloadWatch *watch)
{
    int ok = 0;
    int fruitless = 0;               // tries in a row without progress
    unsigned wait = 0;
    unsigned long long furthest = 0; // the furthest the file has reached in this call
    TryReport report;
    HINTERNET connection = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    URL_COMPONENTS parts;
    Transfer transfer;
    const DownloadWatch none = {NULL, NULL, NULL, NULL, NULL};
    unsigned long long left = 0;
    wchar_t host[HOST_CHARS];
    wchar_t url_path[URL_PATH_CHARS];
    unsigned char buffer[TRANSFER_CHUNK];
    const wchar_t *tag = L"";
    int host_known = 0;

    transfer.disk_full = 0;
    if (watch == NULL)
        watch = &none;
    tag = watch->tag != NULL ? watch->tag : L"";
    transfer.tag = tag;
    if (!open_download_session(net)) {
        log_note(net->log, L"%lsWinHTTP could not be opened (error %lu)", tag, GetLastError());
        goto done;
    }

    ZeroMemory(&parts, sizeof(parts));
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = HOST_CHARS - 1;
    parts.lpszUrlPath = url_path;
    parts.dwUrlPathLength = URL_PATH_CHARS - 1;
    if (!net->api.CrackUrl(url, 0, 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
        log_note(net->log, L"%lsnot an http or https URL: %ls", tag, url);
        goto done;
    }
    connection = net->api.Connect(net->session, host, parts.nPort, 0);
    if (connection == NULL)
        goto done;

    file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE || !file_size(file, &furthest))
        goto done;

    transfer.api = &net->api;
    transfer.url = url;
    transfer.connection = connection;
    transfer.path = url_path;
    transfer.secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    transfer.file = file;
    transfer.size = size;
    transfer.budget = size != 0 ? BUDGET_TIMES * size + TRANSFER_CHUNK : UNSIZED_BUDGET;
    transfer.sized = size != 0;
    transfer.watch = watch;
    transfer.buffer = buffer;
    transfer.progress_at = GetTickCount64();
    transfer.server_wait = 0;
    transfer.slow = 0;
    transfer.stopped = 0;
    // Known to be there: by an answer of the session before this call (not
    // one that a download beside it got meanwhile), or by one of its own.
    host_known = host_answered(net, host, parts.nPort);
    for (;;) {
        unsigned long long reached = 0;
        int answered = 0;
        if (told_to_stop(watch)) {
            log_note(net->log, L"%lsstopped", tag);
            goto done;
        }
        TryEnd end = fetch_rest(&transfer, net, &answered);
        if (answered) {
            note_answered(net, host, parts.nPort);
            host_known = 1;
        }
        if (end == TRY_COMPLETE)
            break;
        if (end == TRY_FAILED || !file_size(file, &reached))
            goto done;
        // Progress is growth, at a rate that counts: bytes that only replace
        // what the file held (a host that restarts every answer) earn
        // nothing, and neither does a trickle.
        report.progress = reached > furthest && !transfer.slow;
        if (reached > furthest)
            furthest = reached;
        if (report.progress)
            transfer.progress_at = GetTickCount64();
        // A host that has never answered is not there at all (or the link
        // is gone): the download ends at once.
        report.host_answered = host_known;
        report.server_wait = end == TRY_BUSY ? transfer.server_wait : 0;
        report.idle_ms = GetTickCount64() - transfer.progress_at;
        if (!next_try(&report, &fruitless, &wait)) {
            log_note(net->log, L"%lsgiven up after %d tries in a row without progress, %llu s without progress", tag,
                     fruitless + 1, report.idle_ms / 1000);
            goto done;
        }
        if (wait > 0) {
            log_note(net->log, L"%lsno progress: waiting %u s before trying again", tag, wait);
            if (!wait_to_retry(watch, wait)) {
                log_note(net->log, L"%lsstopped while waiting", tag);
                goto done;
            }
        }
    }
    ok = 1;

done:
    if (transfer.disk_full)
        InterlockedExchange(&net->disk_full, 1);
    if (file != INVALID_HANDLE_VALUE) {
        int empty = !ok && file_size(file, &left) && left == 0;
        CloseHandle(file);
        // An empty file keeps nothing worth keeping.
        if (empty)
            DeleteFileW(path);
    }
    if (connection != NULL)
        net->api.CloseHandle(connection);
    return ok;
}
