#pragma once

#include <windows.h>
#include <winhttp.h>

// The WinHTTP functions the downloads call, bound from winhttp.dll of the
// system folder.
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

// One WinHTTP session for all the downloads of a run: Windows keeps a
// connection alive between the requests of one session (a new session per
// download would pay a new TCP and TLS handshake each time). Owned by the
// caller: begin_download_session makes it empty (nothing loaded or opened),
// the first download opens it, end_download_session closes what was opened.
struct DownloadSession {
    const wchar_t *user_agent;
    HMODULE dll;
    WinHttpApi api;
    HINTERNET session;
};
void begin_download_session(DownloadSession *net, const wchar_t *user_agent);
void end_download_session(DownloadSession *net);

// HTTP/1.1 GETs of url (http or https, no query) in the session net (with
// its User-Agent) until the whole body is stored in the file dest, whose
// folder must exist. Prints nothing. Windows' default time-outs apply
// (connect 60 s, send and each receive 30 s; the wait for a response's
// headers too), under Wine as well.
//
// The bytes wait in the partial file dest + ".partial" (fetch/resume.h)
// until the body is complete; then it is renamed to dest. The first request
// asks for the whole file and carries no header of ours; when a partial
// file is there (from an earlier call or try), a request asks only for the
// rest ("Range: bytes=N-", N its size), and the answer is appended only when
// it is a 206 whose Content-Range starts at N and ends the file (of the
// pinned total, where a size is pinned). A 200 is the whole file: it
// replaces the partial file from its first byte. A 416, or a 206 that does
// not continue it, empties the partial file and the download starts over.
// A connection that breaks (or a receive that times out) after new bytes
// arrived is resumed at once, as long as each try brings something new;
// three tries in a row that bring nothing end it.
//
// size: the body's pinned size in bytes, or 0 when none is pinned. With a
// size, a declared Content-Length that does not fit it ends the download
// before one byte of the body is taken, and a body that grows past it ends
// the download and empties the partial file; a partial file of exactly the
// size is taken as complete without a request.
//
// Success (1): dest holds the whole body (closed); no partial file stays.
// Failure (0): before the partial file is opened (no WinHTTP, a bad URL)
// nothing is touched; after that dest is deleted (also a file that was
// there before the call), and the partial file holds the bytes that arrived
// in order from the file's first byte (at most size when pinned), or is
// gone when it holds none.
// Killed: dest is as it was before the call or holds the whole body (the
// rename is the last step); the partial file holds what was written.
//
// progress, when not NULL, is called with context once an answer is taken
// and after every chunk that was written: the bytes stored so far (those of
// the partial file included) and the body's size (pinned, or declared by
// the server: has_total 1; otherwise total is 0). It must not print unless
// standard output is a console.
typedef void (*DownloadProgress)(unsigned long long stored, unsigned long long total, int has_total,
                                 void *context);
int download(DownloadSession *net, const wchar_t *url, const wchar_t *dest, unsigned long long size,
             DownloadProgress progress, void *context);
