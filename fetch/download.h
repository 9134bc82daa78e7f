#pragma once

#include <wchar.h>

// One HTTP/1.1 GET of url (http or https, no query), body stored in the file
// dest, whose folder must exist. Prints nothing.
// Success (1): status 200, the whole body is in dest and dest is closed.
// Failure (0): nothing is promised about the content. Before the request is
// open (bad URL, no session, no connection) dest is untouched; after that,
// dest is deleted, also a file that was there before the call. A body that
// ends before its declared Content-Length is a failure.
int download(const wchar_t *url, const wchar_t *dest);
