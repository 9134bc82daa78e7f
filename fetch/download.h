#pragma once

#include <wchar.h>

// One HTTP/1.1 GET of url (http or https, no query) with the User-Agent
// user_agent, body stored in the file dest, whose folder must exist.
// Windows' default time-outs apply (connect 60 s, send and each receive
// 30 s), under Wine as well. Prints nothing.
// Success (1): status 200, the whole body is in dest and dest is closed.
// Failure (0): nothing is promised about the content. Before the request is
// open (bad URL, no session, no connection) dest is untouched; after that,
// dest is deleted, also a file that was there before the call. A body that
// ends before its declared Content-Length is a failure.
//
// progress, when not NULL, is called with context after every chunk that was
// written: the bytes stored so far and, when the server declared one, the
// body's length (has_total 1; otherwise total is 0). It must not print
// unless standard output is a console.
typedef void (*DownloadProgress)(unsigned long long stored, unsigned long long total, int has_total,
                                 void *context);
int download(const wchar_t *url, const wchar_t *dest, const wchar_t *user_agent, DownloadProgress progress,
             void *context);
