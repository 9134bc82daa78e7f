#include "fetch/download.h"

#include "fetch/resume.h"
#include "system/dll.h"
#include "system/files.h"

enum {
    TRANSFER_CHUNK = 65536, HOST_CHARS = 256, URL_PATH_CHARS = 2048, HEADER_CHARS = 96,
    // Resumes in a row that bring no new byte before the download gives up.
    FRUITLESS_TRIES = 3,
    // Windows' own defaults, stated: no bound on resolving the name, a
    // minute to connect, half a minute for each send and each receive.
    RESOLVE_TIMEOUT_MS = 0, CONNECT_TIMEOUT_MS = 60000, SEND_TIMEOUT_MS = 30000, RECEIVE_TIMEOUT_MS = 30000
};

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

// What one call works with, shared by its tries.
struct Transfer {
    const WinHttpApi *api;
    HINTERNET connection;
    const wchar_t *path;       // of the URL
    DWORD secure;              // WINHTTP_FLAG_SECURE or 0
    HANDLE partial;            // the partial file, open for reading and writing
    unsigned long long size;   // pinned size, 0: none
    DownloadProgress progress;
    void *context;
    unsigned char *buffer;     // TRANSFER_CHUNK bytes
};

// How one request ended.
enum TryEnd {
    TRY_COMPLETE,    // the partial file holds the whole body
    TRY_BROKEN,      // the connection broke or timed out: the bytes that came stay
    TRY_START_OVER,  // the answer did not continue the partial file, now emptied
    TRY_FAILED       // an answer that is not the file, or a write that failed
};

// One request for what the partial file lacks: the whole file when it is
// empty, else "Range: bytes=N-" with N its size. A 206 that continues it is
// appended, a 200 replaces it from the first byte. *gained: the new bytes
// stored.
static TryEnd fetch_rest(const Transfer *t, unsigned long long *gained)
{
    TryEnd end = TRY_FAILED;
    const WinHttpApi *api = t->api;
    HINTERNET request = NULL;
    LARGE_INTEGER now;
    unsigned long long have = 0;
    unsigned long long start = 0;
    unsigned long long expected = 0;
    unsigned long long stored = 0;
    unsigned long long first = 0;
    unsigned long long last = 0;
    unsigned long long total = 0;
    int has_length = 0;
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    wchar_t range[HEADER_CHARS];
    wchar_t text[HEADER_CHARS];

    *gained = 0;
    if (!GetFileSizeEx(t->partial, &now))
        goto done;
    have = (unsigned long long)now.QuadPart;
    // More than the pinned size cannot be the file; exactly that size is
    // complete (a run killed before the rename), and its digest will say.
    if (t->size != 0 && have > t->size) {
        if (!cut_to(t->partial, 0))
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
    if (!api->SendRequest(request, have > 0 ? range : WINHTTP_NO_ADDITIONAL_HEADERS, have > 0 ? (DWORD)-1L : 0,
                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !api->ReceiveResponse(request, NULL))
        goto done;
    end = TRY_FAILED;
    api->QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &status, &status_size, WINHTTP_NO_HEADER_INDEX);
    has_length = declared_length(api, request, &expected);
    if (status == 206 && have > 0) {
        // Appended only where it continues the partial file exactly.
        if (!header_text(api, request, WINHTTP_QUERY_CONTENT_RANGE, text) ||
            !parse_content_range(text, &first, &last, &total) || first != have || last + 1 != total ||
            (t->size != 0 && total != t->size) || (has_length && expected != total - have)) {
            end = cut_to(t->partial, 0) ? TRY_START_OVER : TRY_FAILED;
            goto done;
        }
        start = have;
    } else if (status == 416 && have > 0) {
        // Nothing of the file lies beyond what is here: it is not this file.
        end = cut_to(t->partial, 0) ? TRY_START_OVER : TRY_FAILED;
        goto done;
    } else if (status != 200) {
        goto done;
    }
    // A declared length that the pinned size contradicts is not the file:
    // not one byte of it is taken.
    if (t->size != 0 && has_length && start + expected != t->size)
        goto done;
    // A 200 is the whole file, from its first byte.
    if (!cut_to(t->partial, start))
        goto done;

    stored = start;
    if (t->size != 0)
        total = t->size;
    else
        total = has_length ? start + expected : 0;
    if (t->progress != NULL)
        t->progress(stored, total, total != 0 || has_length, t->context);
    end = TRY_BROKEN;
    for (;;) {
        DWORD available = 0;
        if (!api->QueryDataAvailable(request, &available))
            goto done;
        if (available == 0)
            break;
        while (available > 0) {
            DWORD got = 0;
            DWORD put = 0;
            DWORD want = available < (DWORD)TRANSFER_CHUNK ? available : (DWORD)TRANSFER_CHUNK;
            // Announced bytes that never come would loop forever.
            if (!api->ReadData(request, t->buffer, want, &got) || got == 0)
                goto done;
            // More than the pinned size is not the file: what this answer
            // brought is dropped, and nothing beyond the size is kept.
            if (t->size != 0 && stored + got > t->size) {
                cut_to(t->partial, 0);
                end = TRY_FAILED;
                goto done;
            }
            if (!WriteFile(t->partial, t->buffer, got, &put, NULL) || put != got) {
                end = TRY_FAILED;
                goto done;
            }
            stored += got;
            *gained += got;
            if (t->progress != NULL)
                t->progress(stored, total, total != 0 || has_length, t->context);
            available = got < available ? available - got : 0;
        }
    }
    // Some stacks report a connection lost mid-body as a normal end of body.
    if ((has_length && stored != start + expected) || (t->size != 0 && stored != t->size))
        goto done;
    end = TRY_COMPLETE;

done:
    if (request != NULL)
        api->CloseHandle(request);
    return end;
}

void begin_download_session(DownloadSession *net, const wchar_t *user_agent)
{
    net->user_agent = user_agent;
    net->dll = NULL;
    net->api = WinHttpApi();
    net->session = NULL;
}

void end_download_session(DownloadSession *net)
{
    if (net->session != NULL)
        net->api.CloseHandle(net->session);
    if (net->dll != NULL)
        FreeLibrary(net->dll);
    net->session = NULL;
    net->dll = NULL;
}

// Loads WinHTTP and opens the session, unless an earlier download did.
static int open_session(DownloadSession *net)
{
    DWORD receive_response_ms = RECEIVE_TIMEOUT_MS;
    if (net->session != NULL)
        return 1;
    if (net->dll == NULL) {
        net->dll = load_system_dll(L"winhttp.dll");
        if (net->dll == NULL || !bind_winhttp(net->dll, &net->api))
            return 0;
    }
    // Automatic proxy: the user's and the organisation's proxy settings
    // (manual, PAC script, auto-detection) apply, not only the machine-wide
    // WinHTTP one.
    net->session = net->api.Open(net->user_agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0);
    if (net->session == NULL)
        return 0;
    // Windows' own time-outs, stated. Wine's WinHTTP applies none of them to
    // the wait for a response's headers: a server that accepts and never
    // answers would hold the setup for ever. The same half minute as any
    // receive, stated for that wait.
    if (!net->api.SetTimeouts(net->session, RESOLVE_TIMEOUT_MS, CONNECT_TIMEOUT_MS, SEND_TIMEOUT_MS,
                              RECEIVE_TIMEOUT_MS) ||
        !net->api.SetOption(net->session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive_response_ms,
                            sizeof(receive_response_ms))) {
        net->api.CloseHandle(net->session);
        net->session = NULL;
        return 0;
    }
    return 1;
}

int download(DownloadSession *net, const wchar_t *url, const wchar_t *dest, unsigned long long size,
             DownloadProgress progress, void *context)
{
    int ok = 0;
    int started = 0;  // the partial file is open: a failure from here on removes dest
    int live = 0;     // some try of this call brought new bytes
    int fruitless = 0;
    HINTERNET connection = NULL;
    HANDLE partial = INVALID_HANDLE_VALUE;
    URL_COMPONENTS parts;
    Transfer transfer;
    LARGE_INTEGER left;
    wchar_t host[HOST_CHARS];
    wchar_t path[URL_PATH_CHARS];
    WidePath partial_name;
    unsigned char buffer[TRANSFER_CHUNK];

    if (!open_session(net))
        goto done;

    ZeroMemory(&parts, sizeof(parts));
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = HOST_CHARS - 1;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = URL_PATH_CHARS - 1;
    if (!net->api.CrackUrl(url, 0, 0, &parts))
        goto done;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        goto done;
    if (!partial_path(partial_name, dest))
        goto done;
    connection = net->api.Connect(net->session, host, parts.nPort, 0);
    if (connection == NULL)
        goto done;

    partial = CreateFileW(partial_name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                          NULL);
    if (partial == INVALID_HANDLE_VALUE)
        goto done;
    started = 1;

    transfer.api = &net->api;
    transfer.connection = connection;
    transfer.path = path;
    transfer.secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    transfer.partial = partial;
    transfer.size = size;
    transfer.progress = progress;
    transfer.context = context;
    transfer.buffer = buffer;
    for (;;) {
        unsigned long long gained = 0;
        TryEnd end = fetch_rest(&transfer, &gained);
        if (end == TRY_COMPLETE)
            break;
        if (end == TRY_FAILED)
            goto done;
        // A link that drops now and then: resumed at once, for as long as
        // each try brings something new.
        if (gained > 0) {
            live = 1;
            fruitless = 0;
            continue;
        }
        // A first answer that never came is the connection's failure; after
        // that, a few tries that bring nothing.
        if ((end == TRY_BROKEN && !live) || ++fruitless > FRUITLESS_TRIES)
            goto done;
    }
    CloseHandle(partial);
    partial = INVALID_HANDLE_VALUE;
    if (!MoveFileExW(partial_name, dest, MOVEFILE_REPLACE_EXISTING))
        goto done;
    ok = 1;

done:
    if (partial != INVALID_HANDLE_VALUE) {
        int empty = GetFileSizeEx(partial, &left) && left.QuadPart == 0;
        CloseHandle(partial);
        // An empty partial file keeps nothing worth keeping.
        if (empty)
            DeleteFileW(partial_name);
    }
    if (!ok && started)
        DeleteFileW(dest);
    if (connection != NULL)
        net->api.CloseHandle(connection);
    return ok;
}
