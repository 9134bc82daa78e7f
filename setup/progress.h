#pragma once

// From fetch/download.h, which brings windows.h: the sources include it after
// stdio.h, or a C++ header that windows.h pulls in switches MinGW's printf
// from the C runtime's own to its larger replacement.
struct DownloadSession;

// download (fetch/download.h) of url into dest in the run's session net,
// size its pinned size (0: none), with, on a console, a counter of what
// has arrived on the line below ("  12.4 of 48.0 MB (25 %)", from the bytes
// a partial file already holds), erased at the end. Same result and files
// as download.
int download_with_counter(DownloadSession *net, const wchar_t *url, const wchar_t *dest, unsigned long long size);
