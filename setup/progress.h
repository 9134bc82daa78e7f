#pragma once

#include <wchar.h>

// download (fetch/download.h) with the setup's user agent and, on a
// console, a counter of what has arrived on the line below ("  12.4 of
// 48.0 MB (25 %)"), erased at the end. Same result and files as download.
int download_with_counter(const wchar_t *url, const wchar_t *dest);
