#pragma once

#include <wchar.h>

// download (fetch/download.h) of url into dest, size its pinned size (0:
// none), with the setup's user agent and, on a console, a counter of what
// has arrived on the line below ("  12.4 of 48.0 MB (25 %)", from the bytes
// a partial file already holds), erased at the end. Same result and files
// as download.
int download_with_counter(const wchar_t *url, const wchar_t *dest, unsigned long long size);
