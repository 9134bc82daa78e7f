#pragma once

#include <windows.h>
#include <winhttp.h>

struct RunLog;

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
// the first download opens it (a failed opening leaves it empty again, so
// that a later download tries afresh), end_download_session closes what
// was opened. Every request, answer, try and wait of its downloads is noted
// in log (system/log.h).
enum { SESSION_HOSTS = 4, SESSION_HOST_CHARS = 256 };
struct DownloadSession {
    const wchar_t *user_agent;
    RunLog *log;
    HMODULE dll;
    WinHttpApi api;
    HINTERNET session;
    // The hosts (name and port) that some request of this session got an
    // answer from.
    int answered_count;
    wchar_t answered_host[SESSION_HOSTS][SESSION_HOST_CHARS];
    INTERNET_PORT answered_port[SESSION_HOSTS];
    // Set (note_disk_full) when a write of the run found the disk full: by a
    // download, and by the caller for its own writes (the exit code says
    // so). Only ever set, from any thread.
    volatile LONG disk_full;
    // Guards the table of hosts: downloads of several threads share it.
    CRITICAL_SECTION hosts_lock;
};
void begin_download_session(DownloadSession *net, const wchar_t *user_agent, RunLog *log);
void end_download_session(DownloadSession *net);

// Loads WinHTTP and opens the session unless it is open (the first
// download does it itself). Downloads on several threads need it opened
// first, by the thread that ends the session. 1 when the session is open;
// 0 with it left empty.
int open_download_session(DownloadSession *net);

// Records in net a full disk when error (a Windows error code) says so.
void note_disk_full(DownloadSession *net, unsigned long error);

// What a download tells its caller while it runs; each member may be NULL.
// Neither may print unless standard output is a console.
struct DownloadWatch {
    // Once an answer is taken and after every chunk written: the bytes the
    // file holds and the body's size (pinned, or stated by the server:
    // has_total 1; otherwise total is 0).
    void (*progress)(unsigned long long stored, unsigned long long total, int has_total, void *context);
    // Once a second while the download waits to try again: the seconds left.
    void (*waiting)(unsigned seconds, void *context);
    void *context;
    // Asked after every chunk and every second of a wait: 1 ends the
    // download there, as a failure that keeps what the file holds.
    int (*stopped)(void *context);
    // Put before each of the download's lines in the log (downloads side by
    // side: "part 2: "); NULL: nothing.
    const wchar_t *tag;
};

// HTTP/1.1 GETs of url (http or https, no query) in the session net (with
// its User-Agent) until the file at path holds the whole body. path is the
// caller's temporary name for the file (its folder must exist); making it
// final is the caller's step. Prints nothing. Windows' default time-outs
// apply (connect 60 s, send and each receive 30 s; the wait for a
// response's headers too), under Wine as well.
//
// A file already at path is what an earlier call stored: the first request
// asks only for the rest ("Range: bytes=N-", N its size; with an empty or
// no file, the whole file, and no header of ours). A 206 is appended only
// when its Content-Range starts at N and ends the file (of the pinned
// total, where a size is pinned). A 200 is the whole file: it replaces the
// file's bytes from the first. A 416 whose "bytes */T" is the file's own
// size says the file is whole; any other 416, or a 206 that does not
// continue the file, empties it and the download starts over.
//
// A body is complete when the server said how long it is (Content-Length,
// or the total of a Content-Range) and all of it arrived, or when it is of
// the pinned size: a body cut short that looks whole (some stacks report a
// lost connection as its end) is resumed, never taken.
//
// Tries: a try that leaves the file ending beyond the furthest byte it held
// in this call, with every half minute of its body bringing at least 30 KiB
// (1 KiB/s), is progress, and the next try follows at once. A try that does
// not (the connection broke before that point, a host that ignores Range
// restarted from the first byte, an answer that did not continue the file,
// a trickle, a 500, 502, 503, 504 or 429: the server's "try again later")
// waits before the next one: 1, 2, 4, 8 and 15 s, or as long as the
// answer's Retry-After asks when that is longer (60 s at most), so that a
// link gone for half a minute is waited out; the sixth such try in a row
// ends the download, and so does a wait that would take the call past two
// minutes without progress (each try's connect, send and receive are bound
// by what is left of those two minutes, too). An answer that never came,
// from a host that had given none in this session when the call began and
// none to this call since, ends it at once (the host or the link is not
// there; what downloads beside it got meanwhile does not count). Every other status ends it at once.
// In all, a call receives at most ten times the body's known size (a host
// that restarts every answer), or 1 GiB while no size is known.
//
// size: the body's pinned size in bytes, or 0 when none is pinned. With a
// size, a declared Content-Length that does not fit it ends the download
// before one byte of the body is taken, and a body that grows past it ends
// the download and empties the file; a file of exactly the size is taken
// as complete without a request.
//
// A write that the disk refuses as full sets net->disk_full.
//
// Several downloads may run at once in one session, each on a thread of
// its own with its own file and watch: each has its own connection, and
// they share only the session's handle and its table of hosts.
//
// Success (1): the file holds the whole body, closed (the caller flushes it
// as it makes it final: make_final of system/files.h).
// Failure (0): before the file is opened (no WinHTTP, a bad URL) nothing is
// touched; after that the file holds bytes that arrived in order from the
// body's first byte (at most size when pinned), or is gone when it holds
// none. Nothing else is ever deleted or written.
// Killed: the file holds what was written.
int download(DownloadSession *net, const wchar_t *url, const wchar_t *path, unsigned long long size,
             const DownloadWatch *watch);
