#include "fetch/download.h"

#include "fetch/resume.h"
#include "system/dll.h"
#include "system/files.h"
#include "system/log.h"

enum {
    TRANSFER_CHUNK = 65536, HOST_CHARS = 256, URL_PATH_CHARS = 2048, HEADER_CHARS = 96,
    // A call receives at most this many times the body's known size.
    BUDGET_TIMES = 10,
    // Windows' own defaults, stated: no bound on resolving the name, a
    // minute to connect, half a minute for each send and each receive.
    RESOLVE_TIMEOUT_MS = 0, CONNECT_TIMEOUT_MS = 60000, SEND_TIMEOUT_MS = 30000, RECEIVE_TIMEOUT_MS = 30000
};

// While no size is known, a call receives at most this much.
static const unsigned long long UNSIZED_BUDGET = 1ULL << 30;

// The waits before the tries that follow a try without progress: about
// half a minute in all, so that a link that is gone for a few seconds
// (roaming between access points, a laptop waking) is waited out.
static const unsigned RETRY_WAIT_SECONDS[] = {1, 2, 4, 8, 15};
enum { RETRY_WAITS = sizeof(RETRY_WAIT_SECONDS) / sizeof(RETRY_WAIT_SECONDS[0]) };

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

// Makes the open file hold its first size bytes, the file pointer at its end.
static int cut_to(HANDLE file, unsigned long long size)
{
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)size;
    return SetFilePointerEx(file, at, NULL, FILE_BEGIN) && SetEndOfFile(file);
}

static int file_size(HANDLE file, unsigned long long *size)
{
    LARGE_INTEGER now;
    if (!GetFileSizeEx(file, &now))
        return 0;
    *size = (unsigned long long)now.QuadPart;
    return 1;
}

// What one call works with, shared by its tries.
struct Transfer {
    const WinHttpApi *api;
    const wchar_t *url;
    HINTERNET connection;
    const wchar_t *path;         // of the URL
    DWORD secure;                // WINHTTP_FLAG_SECURE or 0
    HANDLE file;                 // open for reading and writing
    unsigned long long size;     // pinned size, 0: none
    unsigned long long budget;   // what the call may still receive
    int sized;                   // the budget is set from a known size
    const DownloadWatch *watch;
    unsigned char *buffer;       // TRANSFER_CHUNK bytes
};

// How one request ended.
enum TryEnd {
    TRY_TAKE,        // (an answer's judgement) its body continues the file
    TRY_COMPLETE,    // the file holds the whole body
    TRY_BROKEN,      // no answer, or the body ended early: the bytes that came stay
    TRY_START_OVER,  // the answer did not continue the file, now emptied
    TRY_FAILED       // an answer that is not the file, or a write that failed
};

// How each end reads in the log.
static const wchar_t *const TRY_NAMES[] = {L"taken", L"complete", L"broken off", L"not a continuation: start over",
                                           L"refused"};

// Notes an answer's status and the headers that say what its body is.
static void note_answer(RunLog *log, const WinHttpApi *api, HINTERNET request)
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
    log_note(log, L"HTTP %lu, Content-Length: %ls, Content-Range: %ls", status, length, range);
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
            if (!WriteFile(t->file, t->buffer, got, &put, NULL) || put != got)
                return TRY_FAILED;
            stored += got;
            if (watch->progress != NULL)
                watch->progress(stored, total, has_total, watch->context);
            available = got < available ? available - got : 0;
        }
    }
    // Some stacks report a connection lost mid-body as a normal end of body:
    // only a body whose end is known, and reached, is whole.
    return has_total && stored == total ? TRY_COMPLETE : TRY_BROKEN;
}

// One request for what the file lacks: the whole file when it is empty,
// else "Range: bytes=N-" with N its size.
static TryEnd fetch_rest(Transfer *t, DownloadSession *net)
{
    TryEnd end = TRY_FAILED;
    const WinHttpApi *api = t->api;
    HINTERNET request = NULL;
    unsigned long long have = 0;
    Answer answer;
    wchar_t range[HEADER_CHARS];

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
    // The first request of a download carries nothing of ours.
    if (have > 0 && !compose_path(range, HEADER_CHARS, L"Range: bytes=%llu-", have))
        goto done;
    end = TRY_BROKEN;
    log_note(net->log, L"GET %ls%ls%ls", t->url, have > 0 ? L"  " : L"", have > 0 ? range : L"");
    if (!api->SendRequest(request, have > 0 ? range : WINHTTP_NO_ADDITIONAL_HEADERS, have > 0 ? (DWORD)-1L : 0,
                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !api->ReceiveResponse(request, NULL)) {
        log_note(net->log, L"no answer (error %lu)", GetLastError());
        goto done;
    }
    net->answered = 1;
    note_answer(net->log, api, request);
    end = judge_answer(t, request, have, &answer);
    if (end == TRY_START_OVER && !cut_to(t->file, 0))
        end = TRY_FAILED;
    if (end == TRY_TAKE) {
        unsigned long long now = 0;
        end = store_body(t, request, &answer);
        DWORD error = end == TRY_COMPLETE ? 0 : GetLastError();
        file_size(t->file, &now);
        log_note(net->log, L"%ls after %llu bytes of body: the file holds %llu (error %lu)", TRY_NAMES[end],
                 now > answer.start ? now - answer.start : 0, now, error);
    } else {
        log_note(net->log, L"%ls", TRY_NAMES[end]);
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
    net->answered = 0;
}

void end_download_session(DownloadSession *net)
{
    if (net->session != NULL)
        net->api.CloseHandle(net->session);
    if (net->dll != NULL)
        FreeLibrary(net->dll);
    net->session = NULL;
    net->dll = NULL;
    net->api = WinHttpApi();
}

// Loads WinHTTP and opens the session, unless an earlier download did. On
// failure the session is left empty, as begin_download_session made it.
static int open_session(DownloadSession *net)
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
        end_download_session(net);
    return ok;
}

// Waits seconds before the next try, telling the watcher each second.
static void wait_to_retry(const DownloadWatch *watch, unsigned seconds)
{
    for (unsigned left = seconds; left > 0; left--) {
        if (watch->waiting != NULL)
            watch->waiting(left, watch->context);
        Sleep(1000);
    }
}

int download(DownloadSession *net, const wchar_t *url, const wchar_t *path, unsigned long long size,
             const DownloadWatch *watch)
{
    int ok = 0;
    int waits = 0;                   // tries in a row without progress
    unsigned long long furthest = 0; // the furthest the file has reached in this call
    HINTERNET connection = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    URL_COMPONENTS parts;
    Transfer transfer;
    const DownloadWatch none = {NULL, NULL, NULL};
    unsigned long long left = 0;
    wchar_t host[HOST_CHARS];
    wchar_t url_path[URL_PATH_CHARS];
    unsigned char buffer[TRANSFER_CHUNK];

    if (watch == NULL)
        watch = &none;
    if (!open_session(net)) {
        log_note(net->log, L"WinHTTP could not be opened (error %lu)", GetLastError());
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
        log_note(net->log, L"not an http or https URL: %ls", url);
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
    for (;;) {
        unsigned long long reached = 0;
        TryEnd end = fetch_rest(&transfer, net);
        if (end == TRY_COMPLETE)
            break;
        if (end == TRY_FAILED || !file_size(file, &reached))
            goto done;
        // Progress is growth: bytes that only replace what the file held
        // (a host that restarts every answer) earn nothing.
        if (reached > furthest) {
            furthest = reached;
            waits = 0;
            continue;
        }
        // No answer in a session that never had one: the host or the link
        // is not there at all.
        if ((end == TRY_BROKEN && !net->answered) || waits == RETRY_WAITS) {
            log_note(net->log, L"given up after %d tries in a row without progress", waits + 1);
            goto done;
        }
        log_note(net->log, L"no progress: waiting %u s before trying again", RETRY_WAIT_SECONDS[waits]);
        wait_to_retry(watch, RETRY_WAIT_SECONDS[waits++]);
    }
    ok = 1;

done:
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
