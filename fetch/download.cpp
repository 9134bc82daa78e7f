#include "fetch/download.h"

#include <windows.h>
#include <winhttp.h>

#include "system/dll.h"

enum {
    TRANSFER_CHUNK = 65536, HOST_CHARS = 256, URL_PATH_CHARS = 2048, LENGTH_CHARS = 32,
    // Windows' own defaults, stated: no bound on resolving the name, a
    // minute to connect, half a minute for each send and each receive.
    RESOLVE_TIMEOUT_MS = 0, CONNECT_TIMEOUT_MS = 60000, SEND_TIMEOUT_MS = 30000, RECEIVE_TIMEOUT_MS = 30000
};

// The WinHTTP functions this routine calls, bound from winhttp.dll of the
// system folder for the duration of one call.
struct WinHttpApi {
    decltype(&WinHttpCrackUrl) CrackUrl;
    decltype(&WinHttpOpen) Open;
    decltype(&WinHttpSetTimeouts) SetTimeouts;
    decltype(&WinHttpSetOption) SetOption;
    decltype(&WinHttpConnect) Connect;
    decltype(&WinHttpOpenRequest) OpenRequest;
    decltype(&WinHttpSendRequest) SendRequest;
    decltype(&WinHttpReceiveResponse) ReceiveResponse;
    decltype(&WinHttpQueryHeaders) QueryHeaders;
    decltype(&WinHttpQueryDataAvailable) QueryDataAvailable;
    decltype(&WinHttpReadData) ReadData;
    decltype(&WinHttpCloseHandle) CloseHandle;
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

// Content-Length as a number; 0 when the response declares none (chunked or
// closed by the server) or declares something that is not a plain number.
static int declared_length(const WinHttpApi *api, HINTERNET request, unsigned long long *length)
{
    wchar_t text[LENGTH_CHARS];
    DWORD size = sizeof(text);
    if (!api->QueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    unsigned long long value = 0;
    int digits = 0;
    for (const wchar_t *p = text; *p; p++) {
        if (*p < L'0' || *p > L'9' || digits >= 19)
            return 0;
        value = value * 10 + (unsigned)(*p - L'0');
        digits++;
    }
    if (digits == 0)
        return 0;
    *length = value;
    return 1;
}

int download(const wchar_t *url, const wchar_t *dest, const wchar_t *user_agent, DownloadProgress progress,
             void *context)
{
    int ok = 0;
    int opened = 0;  // the request is open: a failure from here on removes dest
    HMODULE dll = NULL;
    WinHttpApi api = {};
    HINTERNET session = NULL;
    HINTERNET connection = NULL;
    HINTERNET request = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    URL_COMPONENTS parts;
    wchar_t host[HOST_CHARS];
    wchar_t path[URL_PATH_CHARS];
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    unsigned long long expected = 0;
    unsigned long long stored = 0;
    int has_length = 0;
    DWORD receive_response_ms = 0;
    unsigned char buffer[TRANSFER_CHUNK];

    dll = load_system_dll(L"winhttp.dll");
    if (dll == NULL || !bind_winhttp(dll, &api))
        goto done;

    ZeroMemory(&parts, sizeof(parts));
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = HOST_CHARS - 1;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = URL_PATH_CHARS - 1;
    if (!api.CrackUrl(url, 0, 0, &parts))
        goto done;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        goto done;

    // Automatic proxy: the user's and the organisation's proxy settings
    // (manual, PAC script, auto-detection) apply, not only the machine-wide
    // WinHTTP one.
    session = api.Open(user_agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                       WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == NULL)
        goto done;
    if (!api.SetTimeouts(session, RESOLVE_TIMEOUT_MS, CONNECT_TIMEOUT_MS, SEND_TIMEOUT_MS, RECEIVE_TIMEOUT_MS))
        goto done;
    // Wine's WinHTTP applies none of them to the wait for the response's
    // headers: a server that accepts and never answers would hold the setup
    // for ever. The same half minute as any receive, stated for that wait.
    receive_response_ms = RECEIVE_TIMEOUT_MS;
    if (!api.SetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive_response_ms,
                       sizeof(receive_response_ms)))
        goto done;
    connection = api.Connect(session, host, parts.nPort, 0);
    if (connection == NULL)
        goto done;
    request = api.OpenRequest(connection, L"GET", path, NULL, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (request == NULL)
        goto done;
    opened = 1;

    if (!api.SendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        goto done;
    if (!api.ReceiveResponse(request, NULL))
        goto done;
    api.QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX);
    if (status != 200)
        goto done;
    has_length = declared_length(&api, request, &expected);

    file = CreateFileW(dest, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        goto done;

    for (;;) {
        DWORD available = 0;
        if (!api.QueryDataAvailable(request, &available))
            goto done;
        if (available == 0)
            break;
        while (available > 0) {
            DWORD got = 0;
            DWORD put = 0;
            DWORD want = available < (DWORD)TRANSFER_CHUNK ? available : (DWORD)TRANSFER_CHUNK;
            if (!api.ReadData(request, buffer, want, &got))
                goto done;
            // Announced bytes that never come would loop forever.
            if (got == 0)
                goto done;
            if (!WriteFile(file, buffer, got, &put, NULL))
                goto done;
            stored += got;
            if (progress != NULL)
                progress(stored, has_length ? expected : 0, has_length, context);
            available = got < available ? available - got : 0;
        }
    }
    // Some stacks report a connection lost mid-body as a normal end of body.
    if (has_length && stored != expected)
        goto done;
    ok = 1;

done:
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok && opened)
        DeleteFileW(dest);
    if (request != NULL)
        api.CloseHandle(request);
    if (connection != NULL)
        api.CloseHandle(connection);
    if (session != NULL)
        api.CloseHandle(session);
    if (dll != NULL)
        FreeLibrary(dll);
    return ok;
}
